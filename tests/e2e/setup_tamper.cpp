// Does, over and over, what another program of the user's could do to an installer's setup
// program from its first byte to the end of its run: open it for writing and write another
// program over it, rename it away, and rename another program over it. It looks
// for QVTInstaller.exe in every Pellmorrow-* folder of FOLDER, and keeps on until the file STOP
// exists. OTHER is the program it tries to put in the setup program's place.
//   setup_tamper FOLDER STOP OTHER
// It prints, as JSON, how many times it found a setup program, and every attempt that
// succeeded: what it did, and whether the setup program (a running QVTInstaller.exe) had already
// ended by then.
#include <windows.h>
#include <tlhelp32.h>

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

std::string ReadAll(const std::wstring& path) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char block[65536];
    for (DWORD got; ReadFile(file, block, sizeof(block), &got, nullptr) && got > 0;) bytes.append(block, got);
    CloseHandle(file);
    return bytes;
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size() && SetEndOfFile(file);
}

// A running setup program, once one is seen.
HANDLE FindSetupProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE found = nullptr;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry))
        if (lstrcmpiW(entry.szExeFile, L"QVTInstaller.exe") == 0)
            found = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
    CloseHandle(snapshot);
    return found;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::wstring folder = Widen(argv[1]), stop = Widen(argv[2]);
    const std::string other = ReadAll(Widen(argv[3]));
    if (other.empty()) return 3;
    const std::wstring decoy = folder + L"\\tamper-decoy.exe";
    unsigned found = 0, rounds = 0;
    HANDLE setup = nullptr;
    std::vector<std::pair<const char*, bool>> succeeded;
    auto record = [&](const char* what) {
        succeeded.emplace_back(what, setup && WaitForSingleObject(setup, 0) == WAIT_OBJECT_0);
    };
    while (!Exists(stop)) {
        // Looking for the process costs more than an attempt: not every round.
        if (!setup && ++rounds % 8 == 0) setup = FindSetupProcess();
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
                record("write");
                WriteAll(file, other);
                CloseHandle(file);
            }
            const std::wstring moved = program + L".moved";
            if (MoveFileExW(program.c_str(), moved.c_str(), 0)) record("rename");
            if (!Exists(decoy)) {
                HANDLE copy = CreateFileW(decoy.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
                if (copy != INVALID_HANDLE_VALUE) {
                    WriteAll(copy, other);
                    CloseHandle(copy);
                }
            }
            if (MoveFileExW(decoy.c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING)) record("replace");
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }
    DeleteFileW(decoy.c_str());
    std::printf("{\"found\": %u, \"sawSetup\": %s, \"succeeded\": [", found, setup ? "true" : "false");
    for (size_t i = 0; i < succeeded.size(); ++i)
        std::printf("%s{\"what\": \"%s\", \"afterSetupEnded\": %s}", i ? ", " : "", succeeded[i].first,
                    succeeded[i].second ? "true" : "false");
    std::printf("]}\n");
    return 0;
}
