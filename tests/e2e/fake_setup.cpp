// Stands in for the downloaded setup program: records how it was started (its path, working
// folder and arguments), what it found and the CRC-32 of its own file (so a test can tell which
// bytes ran), in the file named by PELLMORROW_SETUP_RECORD, records PELLMORROW_SETUP_INSTALLDIR
// as its installDir if given, installs the program named by PELLMORROW_SETUP_GAME as
// "<Program Files>\Pellmorrow\Pellmorrow.exe" if given (the Program Files folder of its own
// processor, as a real setup program does, recording "installedGame="), takes
// PELLMORROW_SETUP_MS milliseconds, and ends with exit code
// PELLMORROW_SETUP_EXIT (0 when not given), as a setup program that failed would.
// Its own path is written in UTF-8, so that a folder with any characters can be checked.
// Built a second time as tampered_setup.exe (TAMPERED defined), the program another program
// tries to put in its place: each records which of the two ran ("build=").
#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The CRC-32 that zlib and Python's zlib.crc32 compute, of the whole file; false when the file
// cannot be opened. Read as setup programs read the payload in their own file: NSIS and Inno
// Setup share reading only, the C runtime reading and writing, and neither shares deletion. So a
// program that holds the file with the right to delete while the setup runs breaks every such
// setup, and this records "crc=unreadable".
bool FileCrc(const wchar_t* path, unsigned long* result) {
    HANDLE in = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE) return false;
    unsigned long table[256];
    for (unsigned long n = 0; n < 256; ++n) {
        unsigned long c = n;
        for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320UL ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    unsigned long crc = 0xFFFFFFFFUL;
    static unsigned char block[1 << 16];
    for (DWORD got; ReadFile(in, block, sizeof(block), &got, nullptr) && got > 0;)
        for (DWORD i = 0; i < got; ++i) crc = table[(crc ^ block[i]) & 0xFF] ^ (crc >> 8);
    CloseHandle(in);
    *result = crc ^ 0xFFFFFFFFUL;
    return true;
}

int main(int argc, char** argv) {
    char record[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("PELLMORROW_SETUP_RECORD", record, sizeof(record))) return 3;
    FILE* out = std::fopen(record, "w");
    if (!out) return 4;
    wchar_t selfWide[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, selfWide, MAX_PATH + 1);
    char self[4 * MAX_PATH] = {};
    WideCharToMultiByte(CP_UTF8, 0, selfWide, -1, self, sizeof(self), nullptr, nullptr);
    std::fprintf(out, "path=%s\n", self);
    wchar_t folderWide[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, folderWide);
    char folder[4 * MAX_PATH] = {};
    WideCharToMultiByte(CP_UTF8, 0, folderWide, -1, folder, sizeof(folder), nullptr, nullptr);
    std::fprintf(out, "cwd=%s\n", folder);
#ifdef TAMPERED
    std::fprintf(out, "build=tampered\n");
#else
    std::fprintf(out, "build=original\n");
#endif
    unsigned long crc = 0;
    if (FileCrc(selfWide, &crc))
        std::fprintf(out, "crc=%08lx\n", crc);
    else
        std::fprintf(out, "crc=unreadable\n");
    for (int i = 1; i < argc; ++i) std::fprintf(out, "arg=%s\n", argv[i]);
    HKEY key;
    bool recorded = RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Pellmorrow", 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (recorded) RegCloseKey(key);
    std::fprintf(out, "productKeyAtStart=%s\n", recorded ? "yes" : "no");
    std::fflush(out);
    // A setup program that records where it installed, as a real one may.
    char installDir[MAX_PATH] = {};
    if (GetEnvironmentVariableA("PELLMORROW_SETUP_INSTALLDIR", installDir, sizeof(installDir)) &&
        RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Pellmorrow", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        RegSetValueExA(key, "installDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(installDir),
                       static_cast<DWORD>(std::strlen(installDir) + 1));
        RegCloseKey(key);
    }
    // A setup program that installs its game and, as most do, records nothing of where.
    wchar_t game[MAX_PATH] = {}, programFiles[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"PELLMORROW_SETUP_GAME", game, MAX_PATH) &&
        SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles))) {
        std::wstring folder = std::wstring(programFiles) + L"\\Pellmorrow";
        CreateDirectoryW(folder.c_str(), nullptr);
        std::wstring installed = folder + L"\\Pellmorrow.exe";
        if (CopyFileW(game, installed.c_str(), FALSE)) {
            char utf8[4 * MAX_PATH] = {};
            WideCharToMultiByte(CP_UTF8, 0, installed.c_str(), -1, utf8, sizeof(utf8), nullptr, nullptr);
            std::fprintf(out, "installedGame=%s\n", utf8);
            std::fflush(out);
        }
    }
    char ms[32] = {};
    if (GetEnvironmentVariableA("PELLMORROW_SETUP_MS", ms, sizeof(ms))) Sleep(static_cast<DWORD>(std::atoi(ms)));
    std::fprintf(out, "ended\n");
    std::fclose(out);
    char code[32] = {};
    return GetEnvironmentVariableA("PELLMORROW_SETUP_EXIT", code, sizeof(code)) ? std::atoi(code) : 0;
}
