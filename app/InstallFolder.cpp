#include "app/InstallFolder.h"

#include "app/InstallerPaths.h"
#include "framework/Handles.h"
#include "services/PeHeaders.h"
#include "services/RegistryKey.h"

#include <objbase.h>
#include <shlobj.h>

WORD ProgramMachine(const wchar_t* path) {
    // Shares reading only: the program is held by the publisher check, which shares that alone.
    UniqueHandle file = AdoptFileHandle(
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    IMAGE_FILE_HEADER header;
    return file && ReadFileHeader(file.get(), &header) ? header.Machine : 0;
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
    RegistryKey key;
    DWORD type = 0;
    if (key.OpenForReading("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", HKEY_LOCAL_MACHINE,
                           RegistryView::Native64) &&
        key.ReadString(L"ProgramFilesDir", folder, &type) && type != REG_SZ)
        folder.clear();
    return folder;
}
}  // namespace

std::wstring DefaultInstallDir(WORD machine, const std::wstring& productName) {
    std::wstring folder;
    if (machine == IMAGE_FILE_MACHINE_I386) folder = KnownFolder(FOLDERID_ProgramFilesX86);
    if (machine == IMAGE_FILE_MACHINE_AMD64) folder = ProgramFilesX64();
    return folder.empty() ? folder : JoinPath(folder, productName);
}
