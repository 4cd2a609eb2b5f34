// Stands in for a DLL that a web page left in the Downloads folder beside the installer. Copied
// under the name of each system DLL it impersonates. When it is loaded it leaves a marker beside
// itself, NAME.dll.ran, saying whether it came with the start of the process (an import table)
// or was loaded later, and into which program.
// It also offers version.dll's functions, passed on to the system's DLL of its own name: Wine's
// user32 imports them from version.dll at the start of every program, which would otherwise
// break.
#include <windows.h>

#include <cwchar>

#define VERSION_FUNCTIONS(X)                                                                                   \
    X(GetFileVersionInfoA) X(GetFileVersionInfoExA) X(GetFileVersionInfoExW) X(GetFileVersionInfoSizeA)        \
    X(GetFileVersionInfoSizeExA) X(GetFileVersionInfoSizeExW) X(GetFileVersionInfoSizeW) X(GetFileVersionInfoW) \
    X(VerFindFileA) X(VerFindFileW) X(VerInstallFileA) X(VerInstallFileW) X(VerLanguageNameA)                 \
    X(VerLanguageNameW) X(VerQueryValueA) X(VerQueryValueW)

// Each export jumps to the system's function: the caller's arguments and return address stay as
// they are, whatever the function's signature. Written in assembly, under the names that
// <windows.h> already declares with their real signatures.
#define POINTER(name) extern "C" FARPROC real_##name;
#define DEFINE_POINTER(name) FARPROC real_##name = nullptr;
#ifdef _WIN64
#define EXPORT(name)                                                               \
    __asm__(".text\n.globl " #name "\n" #name ": jmp *real_" #name "(%rip)\n"     \
            ".section .drectve\n.ascii \" -export:" #name "\"\n.text\n");
#else
#define EXPORT(name)                                                               \
    __asm__(".text\n.globl _" #name "\n_" #name ": jmp *_real_" #name "\n"        \
            ".section .drectve\n.ascii \" -export:" #name "\"\n.text\n");
#endif
VERSION_FUNCTIONS(POINTER)
VERSION_FUNCTIONS(DEFINE_POINTER)
VERSION_FUNCTIONS(EXPORT)

namespace {
void LeaveMarker(HMODULE self, bool atStart) {
    wchar_t path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    std::wcscpy(path + length, L".ran");
    HANDLE marker = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE) return;
    char line[MAX_PATH + 16] = {};
    char program[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    lstrcpyA(line, atStart ? "start " : "later ");
    lstrcatA(line, program);
    lstrcatA(line, "\n");
    DWORD written = 0;
    WriteFile(marker, line, lstrlenA(line), &written, nullptr);
    CloseHandle(marker);
}

// The system's DLL of this copy's own name, by its full path.
HMODULE SystemNamesake(HMODULE self) {
    wchar_t own[MAX_PATH], path[MAX_PATH];
    if (!GetModuleFileNameW(self, own, MAX_PATH)) return nullptr;
    const wchar_t* name = std::wcsrchr(own, L'\\');
    UINT folder = GetSystemDirectoryW(path, MAX_PATH);
    if (!name || folder == 0 || folder + std::wcslen(name) >= MAX_PATH) return nullptr;
    std::wcscpy(path + folder, name);
    return LoadLibraryW(path);
}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, void* reserved) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    // The loader passes a non-null `reserved` to the DLLs that the process's start brings in.
    LeaveMarker(self, reserved != nullptr);
    if (HMODULE real = SystemNamesake(self)) {
#define RESOLVE(name) real_##name = GetProcAddress(real, #name);
        VERSION_FUNCTIONS(RESOLVE)
#undef RESOLVE
    }
    return TRUE;
}
