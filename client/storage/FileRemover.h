// Removes one file of a storage folder: the only way retention deletes anything. Tests install
// one that refuses (the tests run as root, who may remove anything).
#pragma once

class FileRemover {
public:
    virtual ~FileRemover() = default;

    // Removes `name` (no folder part) from the open folder `directory`: 0, or the errno.
    // Any thread.
    virtual int Remove(int directory, const char* name) const;

    // The installed remover (unlinkat unless a test installed one). Any thread.
    static const FileRemover& Current();
    // Installs `remover` (not owned; it must outlive its use) or, with null, unlinkat again.
    static void Install(const FileRemover* remover);
};
