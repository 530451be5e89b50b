// The program's entry, apart from main() so that a test driver can run the real program.
#pragma once

// One instance per user, settings beside the program, style sheet and optional Chinese
// translation from the working folder, then the main window until it closes or a termination
// signal ends the run. Returns the exit status.
int CalorviewMain(int argc, char** argv);
