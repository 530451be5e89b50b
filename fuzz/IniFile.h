// The INI file a settings fuzzer hands to QSettings: one file in a private temporary folder,
// rewritten with each input.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

class IniFile {
public:
    // Makes a fresh folder that will hold `fileName`: under $TMPDIR when set, else in /dev/shm
    // when there is one, else in /tmp. The folder goes with the object.
    explicit IniFile(const QString& fileName);
    ~IniFile();
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    const QString& folder() const { return m_folder; }
    const QString& path() const { return m_path; }

    // Replaces the file's contents with `size` bytes.
    void write(const uint8_t* data, size_t size);

private:
    QString m_folder;
    QString m_path;
    int64_t m_writes = 0;
};
