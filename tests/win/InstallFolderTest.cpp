// The folder recorded for a setup program that records none: its processor read from its file,
// and the Program Files folder that Windows gives that processor (the tests' 64-bit prefix has
// both kinds).
#include "app/InstallFolder.h"
#include "framework/Handles.h"

#include "TestFolder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::wstring Write(const wchar_t* name, const std::string& bytes) {
    std::wstring path = TestFolder(L"install-folder-test") + L"\\" + name;
    UniqueHandle file = AdoptFileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    EXPECT_TRUE(file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    return path;
}

// The DOS header with its pointer to the NT headers at `ntAt`, then `nt` there.
std::string Program(LONG ntAt, const std::string& nt) {
    std::string bytes(sizeof(IMAGE_DOS_HEADER), '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    std::memcpy(&bytes[offsetof(IMAGE_DOS_HEADER, e_lfanew)], &ntAt, sizeof(ntAt));
    if (ntAt > static_cast<LONG>(bytes.size())) bytes.resize(static_cast<size_t>(ntAt), '\0');
    return bytes + nt;
}

std::string NtHeaders(WORD machine) {
    std::string nt("PE\0\0", 4);
    nt.append(reinterpret_cast<const char*>(&machine), sizeof(machine));
    return nt + std::string(sizeof(IMAGE_FILE_HEADER) - sizeof(machine), '\0');
}

std::wstring OwnPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

TEST(InstallFolder, ProgramMachineReadsTheHeaders) {
#ifdef _WIN64
    const WORD own = IMAGE_FILE_MACHINE_AMD64;
#else
    const WORD own = IMAGE_FILE_MACHINE_I386;
#endif
    struct Case {
        const char* name;
        std::wstring path;
        WORD machine;
    } cases[] = {
        {"this test program", OwnPath(), own},
        {"an x86 program", Write(L"x86.exe", Program(0x80, NtHeaders(IMAGE_FILE_MACHINE_I386))), IMAGE_FILE_MACHINE_I386},
        {"an ARM64 program", Write(L"arm64.exe", Program(0x40, NtHeaders(0xAA64))), 0xAA64},
        {"headers cut short", Write(L"short.exe", Program(0x40, NtHeaders(IMAGE_FILE_MACHINE_I386).substr(0, 8))), 0},
        {"headers past the end", Write(L"past.exe", Program(0x4000, "")), 0},
        {"no NT signature", Write(L"ne.exe", Program(0x40, "NE" + NtHeaders(IMAGE_FILE_MACHINE_I386).substr(2))), 0},
        {"a negative offset", Write(L"negative.exe", Program(-4, NtHeaders(IMAGE_FILE_MACHINE_I386))), 0},
        {"not a program", Write(L"text.exe", std::string(512, 'x')), 0},
        {"an empty file", Write(L"empty.exe", ""), 0},
        {"no file", TestFolder(L"install-folder-test") + L"\\missing.exe", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(ProgramMachine(c.path.c_str()), c.machine) << c.name;
}

// The setup program is held by the publisher check while it is read: for reading, sharing
// reading only.
TEST(InstallFolder, ProgramMachineReadsAHeldProgram) {
    const std::wstring path = Write(L"held.exe", Program(0x80, NtHeaders(IMAGE_FILE_MACHINE_AMD64)));
    UniqueHandle held = AdoptFileHandle(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(ProgramMachine(path.c_str()), IMAGE_FILE_MACHINE_AMD64);
}

TEST(InstallFolder, DefaultInstallDirIsTheProgramFilesOfTheSetupsProcessor) {
    struct Case {
        WORD machine;
        std::wstring folder;
    } cases[] = {
        {IMAGE_FILE_MACHINE_I386, L"C:\\Program Files (x86)\\Pellmorrow"},
        {IMAGE_FILE_MACHINE_AMD64, L"C:\\Program Files\\Pellmorrow"},
        {0xAA64, L""},  // ARM64: no folder this installer could tell
        {0, L""},       // not read
    };
    for (const Case& c : cases) EXPECT_EQ(DefaultInstallDir(c.machine, L"Pellmorrow"), c.folder) << c.machine;
}

}  // namespace
