#include "services/HeldFile.h"

#include <cstring>
#include <memory>
#include <new>

namespace {
// Large reads: the pass costs the system one call per block.
constexpr DWORD kReadBlock = 256 * 1024;

// Opened as it is (a link is not followed), with its identity; null when it cannot be opened or
// is not the one with `identity`.
UniqueHandle OpenSame(const wchar_t* path, DWORD access, DWORD share, const BY_HANDLE_FILE_INFORMATION& identity) {
    UniqueHandle found = OpenAsItIs(path, access, share, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    BY_HANDLE_FILE_INFORMATION now;
    if (found && (!GetFileInformationByHandle(found.get(), &now) ||
                  now.dwVolumeSerialNumber != identity.dwVolumeSerialNumber ||
                  now.nFileIndexHigh != identity.nFileIndexHigh || now.nFileIndexLow != identity.nFileIndexLow))
        found.reset();
    return found;
}
}  // namespace

UniqueHandle OpenAsItIs(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    return AdoptFileHandle(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr, disposition,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr));
}

bool SetDeleteOnClose(HANDLE file, bool deleteOnClose) {
    FILE_DISPOSITION_INFO disposition{deleteOnClose};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition));
}

void DeleteIfSame(const wchar_t* path, const BY_HANDLE_FILE_INFORMATION& identity) {
    // Deleted through a handle known to be of the same one: a file or folder put at the path
    // meanwhile is left alone. A folder that is not empty is not deleted.
    UniqueHandle found = OpenSame(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, identity);
    if (found) SetDeleteOnClose(found.get(), true);
}

bool HeldFile::Hold(const wchar_t* path, const BY_HANDLE_FILE_INFORMATION& fileIdentity) {
    handle = OpenSame(path, GENERIC_READ, FILE_SHARE_READ, fileIdentity);
    identity = fileIdentity;
    return IsHeld();
}

HeldFile::Content HeldFile::Compare(const wchar_t* path) const {
    if (!handle || !expecting) return Content::Unread;
    // Same sharing as the holder's: while the holder is open no handle that may write exists, so
    // this one can be had beside it, and it is checked to be of the same file.
    UniqueHandle reader = OpenSame(path, GENERIC_READ, FILE_SHARE_READ, identity);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadBlock]);
    // Nothing stops the pass: a Cancel waits for the check's verdict, which waits for the
    // platform's signature check too.
    const std::atomic<bool> going{false};
    FileDigest kept;
    if (!reader || !buffer || !DigestFile(reader.get(), buffer.get(), kReadBlock, going, &kept)) return Content::Unread;
    return kept == expected ? Content::Same : Content::Changed;
}

void HeldFile::Delete(const wchar_t* path) {
    // Held without sharing deletion: let go first.
    if (!handle) return;
    handle.reset();
    DeleteIfSame(path, identity);
}

bool MoveByHandle(HANDLE file, const std::wstring& path, bool replace) {
    const DWORD nameBytes = static_cast<DWORD>(path.size() * sizeof(wchar_t));
    const DWORD size = static_cast<DWORD>(sizeof(FILE_RENAME_INFO)) + nameBytes;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]());
    if (!buffer) return false;
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.get());
    info->ReplaceIfExists = replace;
    info->RootDirectory = nullptr;
    info->FileNameLength = nameBytes;
    std::memcpy(info->FileName, path.c_str(), nameBytes);
    return SetFileInformationByHandle(file, FileRenameInfo, info, size);
}
