// A file the program made in one of its storage folders, known by its name alone: an alarm
// snapshot "Alarm_YYYYMMDD_HHMMSS_<n>[_<k>].png", a manual snapshot "YYYYMMDD_HHMMSS_<n>[_<k>].png"
// or a recording "YYYYMMDD_HHMMSS[_<k>].mp4|.pvf" (<n> the snapshot counter, <k> the "_1", "_2"
// ... a taken name gets). Nothing else is ever a StoredFile: not the alarm logs, not the marks
// file, not a hidden temporary file, not a name written another way (a leading zero in a number),
// so that retention can never touch a file of another name.
//
// Kept small (a year at a busy station is a million of them): the name is held as its fields and
// made again on demand. A plain value; any thread.
#pragma once

#include <cstdint>
#include <string>

struct StoredFile {
    enum class Kind : uint8_t { kAlarmSnapshot, kManualSnapshot, kRecording };
    enum class Extension : uint8_t { kPng, kMp4, kPvf };

    // The camera time in the name as seconds on a plain calendar (no time zone): for order and
    // the 5-s hold only, never for age.
    int64_t nameSeconds = 0;
    int64_t modifiedSeconds = 0;  // the file's mtime, seconds since 1970
    uint64_t bytes = 0;
    uint64_t inode = 0;     // as scanned: a file put there since under the same name is not it
    uint32_t nameDate = 0;  // YYYYMMDD as written
    uint32_t nameTime = 0;  // HHMMSS as written
    uint32_t counter = 0;   // <n> of a snapshot
    uint16_t taken = 0;     // <k>, 0 when the name has none
    Kind kind = Kind::kRecording;
    Extension extension = Extension::kPng;
    uint8_t folder = 0;    // which storage folder holds it (StorageFolders::Folder)
    bool removed = false;  // gone (by retention, or found missing)

    // Reads a file name (no folder) of `kind`'s form; false for any other name.
    static bool Parse(const char* name, Kind kind, StoredFile* file);
    // The name, as the program wrote it.
    std::string Name() const;
    // "YYYYMMDD_HHMMSS" of a name as plain-calendar seconds (see nameSeconds); false when it
    // is not that form. Also the camera's display time "YYYY-MM-DD HH:MM:SS".
    static bool NameTimeSeconds(const char* text, int64_t* seconds);
    static bool DisplayTimeSeconds(const char* text, int64_t* seconds);
};
