// Stands in for the downloaded setup program: records how it was started and what it found, in
// the file named by PELLMORROW_SETUP_RECORD, takes PELLMORROW_SETUP_MS milliseconds, and ends.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    char record[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("PELLMORROW_SETUP_RECORD", record, sizeof(record))) return 3;
    FILE* out = std::fopen(record, "w");
    if (!out) return 4;
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, sizeof(self));
    std::fprintf(out, "path=%s\n", self);
    for (int i = 1; i < argc; ++i) std::fprintf(out, "arg=%s\n", argv[i]);
    HKEY key;
    bool recorded = RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Pellmorrow", 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (recorded) RegCloseKey(key);
    std::fprintf(out, "productKeyAtStart=%s\n", recorded ? "yes" : "no");
    std::fflush(out);
    char ms[32] = {};
    if (GetEnvironmentVariableA("PELLMORROW_SETUP_MS", ms, sizeof(ms))) Sleep(static_cast<DWORD>(std::atoi(ms)));
    std::fprintf(out, "ended\n");
    std::fclose(out);
    return 0;
}
