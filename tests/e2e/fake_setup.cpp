// Stands in for the downloaded setup program: records how it was started and what it found, in
// the file named by PELLMORROW_SETUP_RECORD, records PELLMORROW_SETUP_INSTALLDIR as its
// installDir if given, takes PELLMORROW_SETUP_MS milliseconds, and ends.
// Its own path is written in UTF-8, so that a folder with any characters can be checked.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    return 0;
}
