// Stands in for the installed game: records where and how it was started, in the file named by
// the environment variable PELLMORROW_GAME_RECORD, and ends at once.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    char record[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("PELLMORROW_GAME_RECORD", record, sizeof(record))) return 3;
    char cwd[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof(cwd), cwd);
    FILE* out = std::fopen(record, "w");
    if (!out) return 4;
    std::fprintf(out, "cwd=%s\n", cwd);
    for (int i = 1; i < argc; ++i) std::fprintf(out, "arg=%s\n", argv[i]);
    std::fclose(out);
    return 0;
}
