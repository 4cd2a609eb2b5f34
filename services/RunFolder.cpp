#include "services/RunFolder.h"

#include "services/PollingWait.h"

#include <rpc.h>

bool RunFolder::Create(const std::wstring& parent) {
    Remove();
    // A name nobody can guess: a random UUID's 122 bits. A name that exists already is someone
    // else's, and is not used.
    UUID random;
    if (parent.empty() || UuidCreate(&random) != RPC_S_OK) return false;
    const auto* bits = reinterpret_cast<const unsigned char*>(&random);
    std::wstring candidate = parent;
    if (candidate.back() != L'\\') candidate += L'\\';
    candidate += L"Pellmorrow-";
    for (size_t i = 0; i < sizeof(random); ++i) {
        candidate += L"0123456789abcdef"[bits[i] >> 4];
        candidate += L"0123456789abcdef"[bits[i] & 15];
    }
    if (!CreateDirectoryW(candidate.c_str(), nullptr)) return false;
    // Others may read it and add to it (the setup program works there), never rename or delete
    // it. Not a link: what was just made, as it is.
    held = AdoptFileHandle(CreateFileW(candidate.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
    if (!held || !GetFileInformationByHandle(held.get(), &identity) ||
        (identity.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // Not the plain folder just made: left alone, and nothing is put in it.
        held.reset();
        return false;
    }
    path.swap(candidate);
    return true;
}

void RunFolder::Remove() {
    if (path.empty()) return;
    // Held until now, it is still the folder this run made. The handle shares no right to delete,
    // so it goes first; a folder that is not empty is not removed.
    held.reset();
    // A file deleted just before goes only when the last handle to it closes, which may be the
    // system's own a moment later: the folder is tried again for up to two seconds.
    WaitUntil(
        [this] {
            if (RemoveDirectoryW(path.c_str())) return true;
            const DWORD error = GetLastError();
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        },
        2000);
    path.clear();
}
