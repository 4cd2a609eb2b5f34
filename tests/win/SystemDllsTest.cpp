// The system DLLs that the program loads by hand come from the system folder alone.
#include "services/SystemDlls.h"

#include <gtest/gtest.h>

#include <string>

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
