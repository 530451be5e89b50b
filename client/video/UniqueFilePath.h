// No recording or snapshot ever replaces a file that is already there: when the name is taken
// (two recordings in one second, a camera clock that does not run, two folders set to the same
// place), "_1", "_2", ... go before the extension.
#pragma once

#include <QString>
#include <string>

// `path` itself when nothing exists there, else the first free "name_N.ext". Any thread.
QString UniqueFilePath(const QString& path);

// Renames the file `from` to `path`, or to the first free "name_N.ext" when that is taken,
// without ever replacing a file: the check and the rename are one step (renameat2 with
// RENAME_NOREPLACE; where the file system cannot do that, a hard link and the removal of
// `from`). The name it got, or empty on failure, `from` then left as it was. Any thread.
std::string RenameToFreeName(const std::string& from, const std::string& path);
