#pragma once
// A complete file held open for reading, shared for reading only: while it is held nobody can
// write it, rename it, rename another file over it or delete it. The holder itself holds no
// right to delete: a setup program that reads its own file sharing reading only, as
// self-extracting ones do, could not open it then. It is known by its identity (volume and file
// index), so that it is never confused with another file put at its path.
#include "framework/Handles.h"
#include "services/FileDigest.h"

#include <cstdint>

#include <string>

class HeldFile {
public:
    // What the held file's bytes are, against the digest they were written with.
    enum class Content : uint8_t {
        Same,     // the bytes that were written
        Changed,  // other bytes: someone changed the file before it was held
        Unread,   // not known: it could not be read whole, or no digest was expected of it
    };

    // Holds the file at `path`, provided it is the one with `identity`; false otherwise, and
    // then nothing is held.
    bool Hold(const wchar_t* path, const BY_HANDLE_FILE_INFORMATION& identity);
    bool IsHeld() const { return static_cast<bool>(handle); }
    HANDLE Get() const { return handle.get(); }
    // The SHA-256 of the bytes as they went into the file: what its content must hash to.
    void Expect(const FileDigest& written) {
        expected = written;
        expecting = true;
    }
    // Reads the held file (at `path`) whole for its SHA-256 and compares it with the expected
    // digest. It reads through a handle of its own, opened only once the file is held, so that
    // another thread may read through Get() meanwhile; the held handle's position is left alone.
    // A file that is not held, or of which nothing was expected, is Unread: never Same.
    Content Compare(const wchar_t* path) const;
    // Lets go of the file and deletes it from `path`, if it is still the one that was held there:
    // never another file that was put at the path since.
    void Delete(const wchar_t* path);

private:
    UniqueHandle handle;
    BY_HANDLE_FILE_INFORMATION identity{};
    FileDigest expected;
    bool expecting = false;
};

// Opens what is at `path` as it is: a link is not followed, so what it points to is never read,
// written or deleted through it. `flags` adds to FILE_FLAG_OPEN_REPARSE_POINT.
UniqueHandle OpenAsItIs(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0);

// Marks the open `file` to be deleted once its last handle closes, or takes the mark back.
bool SetDeleteOnClose(HANDLE file, bool deleteOnClose);

// Deletes the file or empty folder at `path` if it is the one with `identity`.
void DeleteIfSame(const wchar_t* path, const BY_HANDLE_FILE_INFORMATION& identity);

// Moves the file open as `file` (with delete access) to `path`, which may be in another folder of
// the same volume; replaces a file there only when `replace` is true. It stays the same file:
// whoever holds it keeps holding it.
bool MoveByHandle(HANDLE file, const std::wstring& path, bool replace);
