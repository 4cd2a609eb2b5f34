// Stands in for the downloaded setup program: records how it was started (its path, working
// folder and arguments), what it found and the CRC-32 of its own file (so a test can tell which
// bytes ran), in the file named by PELLMORROW_SETUP_RECORD, records PELLMORROW_SETUP_INSTALLDIR
// as its installDir if given, takes PELLMORROW_SETUP_MS milliseconds, and ends with exit code
// PELLMORROW_SETUP_EXIT (0 when not given), as a setup program that failed would.
// Its own path is written in UTF-8, so that a folder with any characters can be checked.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The CRC-32 that zlib and Python's zlib.crc32 compute, of the whole file. Read as setup programs
// read the payload in their own file: through the C runtime, which shares reading and writing but
// not deletion. So a program that holds the file with the right to delete while the setup runs
// breaks every such setup, and this reads 0.
unsigned long FileCrc(const wchar_t* path) {
    FILE* in = _wfopen(path, L"rb");
    if (!in) return 0;
    unsigned long table[256];
    for (unsigned long n = 0; n < 256; ++n) {
        unsigned long c = n;
        for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320UL ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    unsigned long crc = 0xFFFFFFFFUL;
    static unsigned char block[1 << 16];
    for (size_t got; (got = std::fread(block, 1, sizeof(block), in)) > 0;)
        for (size_t i = 0; i < got; ++i) crc = table[(crc ^ block[i]) & 0xFF] ^ (crc >> 8);
    std::fclose(in);
    return crc ^ 0xFFFFFFFFUL;
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
    std::fprintf(out, "crc=%08lx\n", FileCrc(selfWide));
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
    char ms[32] = {};
    if (GetEnvironmentVariableA("PELLMORROW_SETUP_MS", ms, sizeof(ms))) Sleep(static_cast<DWORD>(std::atoi(ms)));
    std::fprintf(out, "ended\n");
    std::fclose(out);
    char code[32] = {};
    return GetEnvironmentVariableA("PELLMORROW_SETUP_EXIT", code, sizeof(code)) ? std::atoi(code) : 0;
}
