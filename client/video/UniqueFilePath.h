// No recording or snapshot ever replaces a file that is already there: when the name is taken
// (two recordings in one second, a camera clock that does not run, two folders set to the same
// place), "_1", "_2", ... go before the extension.
#pragma once

#include <QString>

// `path` itself when nothing exists there, else the first free "name_N.ext". Any thread.
QString UniqueFilePath(const QString& path);
