#include "services/HeldFile.h"

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

void DeleteIfSame(const std::wstring& path, const BY_HANDLE_FILE_INFORMATION& identity) {
    // Opened without following a link, and deleted through the handle once it is known to be
    // the same: a file or folder put at the path meanwhile is left alone. A folder that is not
    // empty is not deleted.
    UniqueHandle found = AdoptFileHandle(CreateFileW(
        path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION now{};
    if (!found || !GetFileInformationByHandle(found.get(), &now) || !SameFile(now, identity)) return;
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(found.get(), FileDispositionInfo, &disposition, sizeof(disposition));
}

bool HeldFile::Hold(const std::wstring& filePath, const BY_HANDLE_FILE_INFORMATION& fileIdentity) {
    handle = AdoptFileHandle(CreateFileW(filePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION now{};
    if (!handle || !GetFileInformationByHandle(handle.get(), &now) || !SameFile(now, fileIdentity)) {
        handle.reset();
        return false;
    }
    path = filePath;
    identity = fileIdentity;
    return true;
}

void HeldFile::Delete() {
    handle.reset();  // held without sharing deletion: let go first
    if (!path.empty()) DeleteIfSame(path, identity);
    path.clear();
}
