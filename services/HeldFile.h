#pragma once
// A complete file held open for reading, shared for reading only: while it is held nobody can
// write it, rename it, rename another file over it or delete it. It is known by its identity
// (volume and file index), so that it is never confused with another file put at its path.
#include "framework/Handles.h"

#include <string>

class HeldFile {
public:
    HeldFile() = default;
    HeldFile(HeldFile&&) = default;
    HeldFile& operator=(HeldFile&&) = default;

    // Holds the file at `path`, provided it is the one with `identity`; false otherwise, and
    // then nothing is held.
    bool Hold(const std::wstring& path, const BY_HANDLE_FILE_INFORMATION& identity);
    bool IsHeld() const { return static_cast<bool>(handle); }
    HANDLE Get() const { return handle.get(); }
    const std::wstring& Path() const { return path; }
    // Lets go of the file; it stays where it is.
    void Release() { handle.reset(); }
    // Lets go of the file and deletes it, if it is still the one that was held: never another
    // file that was put at its path since.
    void Delete();

private:
    UniqueHandle handle;
    std::wstring path;
    BY_HANDLE_FILE_INFORMATION identity{};
};

// Whether two files (or folders) are the same one.
bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);
// Deletes the file or empty folder at `path` if it is the one with `identity`.
void DeleteIfSame(const std::wstring& path, const BY_HANDLE_FILE_INFORMATION& identity);
