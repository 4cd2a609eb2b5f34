// The system DLLs that the program loads by hand come from the system folder alone.
#include "services/SystemDlls.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {
std::wstring Lower(std::wstring text) {
    CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

std::wstring FolderOf(const std::wstring& path) { return Lower(path.substr(0, path.find_last_of(L'\\'))); }

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

std::wstring SystemFolder() {
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return Lower(path);
}

// Runs first, so that these calls are the tables' first: threads that ask at once all wait for
// the one load and get the complete table, none a null or a half-filled one.
TEST(SystemDlls, FirstCallersAtOnceGetTheSameCompleteTables) {
    constexpr int kThreads = 6;
    struct Seen {
        const WinInetFunctions* wininet = nullptr;
        const TrustFunctions* trust = nullptr;
        const HashFunctions* hashes = nullptr;
        bool complete = false;
    };
    std::vector<Seen> seen(kThreads);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            while (!go) std::this_thread::yield();
            // Each thread starts with another table, so every table has racing first callers.
            Seen& mine = seen[i];
            for (int step = 0; step < 3; ++step) {
                switch ((i + step) % 3) {
                case 0: mine.wininet = WinInet(); break;
                case 1: mine.trust = Trust(); break;
                case 2: mine.hashes = Hashes(); break;
                }
            }
            mine.complete = mine.wininet && mine.wininet->InternetCloseHandle && mine.trust &&
                            mine.trust->CertComparePublicKeyInfo && mine.hashes && mine.hashes->BCryptDestroyHash;
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(seen[i].complete);
        EXPECT_EQ(seen[i].wininet, WinInet());
        EXPECT_EQ(seen[i].trust, Trust());
        EXPECT_EQ(seen[i].hashes, Hashes());
    }
}

// A missing DLL or function is null, never a crash; a present one is the DLL's own.
TEST(SystemDlls, DllFunctionFindsWhatIsThereOnly) {
    using Function = BOOL(WINAPI*)(HANDLE);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    struct Case {
        HMODULE dll;
        const char* name;
        bool found;
    } cases[] = {
        {kernel32, "CloseHandle", true},
        {kernel32, "NoSuchFunctionAnywhere", false},
        {nullptr, "CloseHandle", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Function function = DllFunction<Function>(c.dll, c.name);
        EXPECT_EQ(function != nullptr, c.found);
        if (c.found) {
            EXPECT_EQ(reinterpret_cast<void*>(function), reinterpret_cast<void*>(GetProcAddress(c.dll, c.name)));
        }
    }
}

// A name misspelt in a table would fail every download, or every signature check.
TEST(SystemDlls, EveryFunctionTheProgramCallsIsThere) {
    EXPECT_NE(WinInet(), nullptr);
    EXPECT_NE(Trust(), nullptr);
    EXPECT_NE(Hashes(), nullptr);
}

TEST(SystemDlls, TakenFromTheSystemFolder) {
    for (const wchar_t* name : {L"wininet.dll", L"wintrust.dll", L"crypt32.dll", L"bcrypt.dll", L"uxtheme.dll"}) {
        HMODULE dll = LoadSystemDll(name);
        ASSERT_NE(dll, nullptr) << "no system DLL " << name;
        EXPECT_EQ(FolderOf(ModulePath(dll)), SystemFolder());
    }
}

// A DLL that lies beside the program but not in the system folder is never loaded, though an
// ordinary search finds it.
TEST(SystemDlls, NeverFromTheProgramsFolder) {
    const wchar_t* kName = L"pellmorrow_beside.dll";
    std::wstring beside = FolderOf(ModulePath(nullptr)) + L"\\" + kName;
    ASSERT_TRUE(CopyFileW((SystemFolder() + L"\\version.dll").c_str(), beside.c_str(), FALSE));
    HMODULE searched = LoadLibraryExW(kName, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    EXPECT_NE(searched, nullptr) << "the copy beside the program is not where a search looks";
    EXPECT_EQ(LoadSystemDll(kName), nullptr);
    if (searched) FreeLibrary(searched);
    DeleteFileW(beside.c_str());
}
}  // namespace
