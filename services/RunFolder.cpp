#include "services/RunFolder.h"

#include "app/InstallerPaths.h"
#include "services/HeldFile.h"

#include <ntsecapi.h>

namespace {
// A name that nobody can guess: 128 random bits.
bool RandomName(std::wstring* name) {
    unsigned char bits[16];
    if (!RtlGenRandom(bits, sizeof(bits))) return false;
    static const wchar_t kHex[] = L"0123456789abcdef";
    *name = L"Pellmorrow-";
    for (unsigned char byte : bits) {
        *name += kHex[byte >> 4];
        *name += kHex[byte & 15];
    }
    return true;
}

UniqueHandle OpenFolder(const std::wstring& path, DWORD access, DWORD share) {
    return AdoptFileHandle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}
}  // namespace

bool RunFolder::Create(const std::wstring& parent) {
    Remove();
    if (parent.empty()) return false;
    // A name that exists already is someone else's: another name is tried, a few times.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::wstring name;
        if (!RandomName(&name)) return false;
        std::wstring candidate = JoinPath(parent, name);
        if (!CreateDirectoryW(candidate.c_str(), nullptr)) {
            if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
            return false;
        }
        // Others may read and add to it (the setup program works there), never rename or
        // delete it.
        held = OpenFolder(candidate, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (!held || !GetFileInformationByHandle(held.get(), &identity) ||
            !(identity.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (identity.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            // Not the plain folder just made: it is left alone, and nothing is put in it.
            held.reset();
            return false;
        }
        path = candidate;
        return true;
    }
    return false;
}

void RunFolder::Remove() {
    if (path.empty()) return;
    // The held handle shares no right to delete, so it goes first.
    held.reset();
    DeleteIfSame(path, identity);
    path.clear();
}
