#include "app/InstallFolder.h"

#include "app/InstallerPaths.h"
#include "framework/Handles.h"

#include <objbase.h>
#include <shlobj.h>

WORD ProgramMachine(const wchar_t* path) {
    // Shares reading only: the program is held by the publisher check, which shares that alone.
    UniqueHandle file = AdoptFileHandle(
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    IMAGE_DOS_HEADER dos{};
    DWORD got = 0;
    if (!file || !ReadFile(file.get(), &dos, sizeof(dos), &got, nullptr) || got != sizeof(dos) ||
        dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0)
        return 0;
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER header;
    } nt{};
    LARGE_INTEGER at{};
    at.QuadPart = dos.e_lfanew;
    if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) || !ReadFile(file.get(), &nt, sizeof(nt), &got, nullptr) ||
        got != sizeof(nt) || nt.signature != IMAGE_NT_SIGNATURE)
        return 0;
    return nt.header.Machine;
}

namespace {
std::wstring KnownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    std::wstring folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path)) && path) folder = path;
    CoTaskMemFree(path);
    return folder;
}

// A 32-bit program on 64-bit Windows cannot ask for the x64 Program Files folder by its known
// folder: the system's own record of it is read instead, from the 64-bit registry.
std::wstring ProgramFilesX64() {
    std::wstring folder = KnownFolder(FOLDERID_ProgramFilesX64);
    if (!folder.empty()) return folder;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) != ERROR_SUCCESS)
        return folder;
    UniqueHkey key(opened);
    wchar_t text[MAX_PATH] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key.get(), L"ProgramFilesDir", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ)
        folder = text;
    return folder;
}
}  // namespace

std::wstring DefaultInstallDir(WORD machine, const std::wstring& productName) {
    std::wstring folder;
    if (machine == IMAGE_FILE_MACHINE_I386) folder = KnownFolder(FOLDERID_ProgramFilesX86);
    if (machine == IMAGE_FILE_MACHINE_AMD64) folder = ProgramFilesX64();
    return folder.empty() ? folder : JoinPath(folder, productName);
}
