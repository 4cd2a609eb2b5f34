// Stands in for the installed game: records where and how it was started, in the file named by
// the environment variable PELLMORROW_GAME_RECORD, and ends at once. The folder is written in
// UTF-8, so that a name with any characters can be checked.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    char record[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("PELLMORROW_GAME_RECORD", record, sizeof(record))) return 3;
    wchar_t cwd[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, cwd);
    char cwdUtf8[4 * MAX_PATH] = {};
    WideCharToMultiByte(CP_UTF8, 0, cwd, -1, cwdUtf8, sizeof(cwdUtf8), nullptr, nullptr);
    FILE* out = std::fopen(record, "w");
    if (!out) return 4;
    std::fprintf(out, "cwd=%s\n", cwdUtf8);
    for (int i = 1; i < argc; ++i) std::fprintf(out, "arg=%s\n", argv[i]);
    std::fclose(out);
    return 0;
}
