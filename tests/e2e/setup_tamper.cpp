// Does, over and over, what another program of the user's could do to an installer's setup
// program while it is downloaded, checked and run: open it for writing, rename it, and rename
// another file over it. It looks for QVTInstaller.exe in every Pellmorrow-* folder of FOLDER and
// keeps on until the file STOP exists; then it prints how many times it found a setup program
// and every attempt that succeeded.
//   setup_tamper FOLDER STOP
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
std::wstring Widen(const char* text) {
    wchar_t wide[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, MAX_PATH);
    return wide;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::wstring folder = Widen(argv[1]), stop = Widen(argv[2]);
    const std::wstring decoy = folder + L"\\tamper-decoy.exe";
    unsigned found = 0;
    std::vector<std::string> succeeded;
    while (!Exists(stop)) {
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW((folder + L"\\Pellmorrow-*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) continue;
        do {
            const std::wstring program = folder + L"\\" + entry.cFileName + L"\\QVTInstaller.exe";
            if (!Exists(program)) continue;
            ++found;
            HANDLE file = CreateFileW(program.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                succeeded.push_back("write");
                CloseHandle(file);
            }
            const std::wstring moved = program + L".moved";
            if (MoveFileExW(program.c_str(), moved.c_str(), 0)) {
                succeeded.push_back("rename");
                MoveFileExW(moved.c_str(), program.c_str(), 0);
            }
            HANDLE other = CreateFileW(decoy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
            if (MoveFileExW(decoy.c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING)) succeeded.push_back("replace");
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    DeleteFileW(decoy.c_str());
    std::printf("{\"found\": %u, \"succeeded\": [", found);
    for (size_t i = 0; i < succeeded.size(); ++i) std::printf("%s\"%s\"", i ? ", " : "", succeeded[i].c_str());
    std::printf("]}\n");
    return 0;
}
