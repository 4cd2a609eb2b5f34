// RegistryKey against the real registry (a private Wine prefix in the test runs).
#include "services/RegistryKey.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr const char* kTestKey = "PellmorrowRegistryTest";

class RegistryKeyTest : public testing::Test {
protected:
    void SetUp() override { RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\PellmorrowRegistryTest"); }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\PellmorrowRegistryTest"); }

    static bool TestKeyExists() {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\PellmorrowRegistryTest", 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
    static void SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\PellmorrowRegistryTest", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static bool IsOpenHandle(HKEY key) {
        return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }
};

TEST_F(RegistryKeyTest, MissingProductKeyStopsTheStartUpChainAndCreatesNothing) {
    RegistryKey key;
    ASSERT_TRUE(key.Open("Software", HKEY_CURRENT_USER));
    EXPECT_FALSE(key.Open(kTestKey, key.Handle()));
    EXPECT_FALSE(TestKeyExists());
}

TEST_F(RegistryKeyTest, WalkingDownTwoLevelsHoldsOnlyTheLowerKey) {
    SetRaw("installDir", REG_SZ, "C:\\Games", 9);
    RegistryKey key;
    ASSERT_TRUE(key.Open("Software", HKEY_CURRENT_USER));
    HKEY software = key.Handle();
    ASSERT_TRUE(key.Open(kTestKey, key.Handle()));
    EXPECT_NE(key.Handle(), software);
    EXPECT_FALSE(IsOpenHandle(software));
    EXPECT_TRUE(IsOpenHandle(key.Handle()));
    std::string dir;
    EXPECT_TRUE(key.ReadString("installDir", dir));
    EXPECT_EQ(dir, "C:\\Games");
    HKEY product = key.Handle();
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_FALSE(IsOpenHandle(product));
    EXPECT_EQ(key.Close(), 0);
}

TEST_F(RegistryKeyTest, OpenOrCreateMakesTheKeyAndWritesTypedValues) {
    RegistryKey key;
    ASSERT_TRUE(key.Open("Software", HKEY_CURRENT_USER));
    ASSERT_TRUE(key.OpenOrCreate(kTestKey, key.Handle()));
    EXPECT_TRUE(TestKeyExists());
    EXPECT_TRUE(key.WriteDword("affId", 11628));
    EXPECT_TRUE(key.WriteString("remarks", "a b&c"));
    EXPECT_TRUE(key.WriteString("empty", ""));

    DWORD type = 0, value = 0, size = sizeof(value);
    ASSERT_EQ(RegQueryValueExA(key.Handle(), "affId", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 11628u);
    char text[16] = {};
    size = sizeof(text);
    ASSERT_EQ(RegQueryValueExA(key.Handle(), "remarks", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(text, "a b&c");
    EXPECT_EQ(size, 6u);
    size = sizeof(text);
    ASSERT_EQ(RegQueryValueExA(key.Handle(), "empty", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 1u);

    // A second run finds the key already there.
    RegistryKey again;
    ASSERT_TRUE(again.Open("Software", HKEY_CURRENT_USER));
    EXPECT_TRUE(again.OpenOrCreate(kTestKey, again.Handle()));
}

TEST_F(RegistryKeyTest, ReadStringLimitsAndText) {
    std::string exact(1023, 'x');
    std::string tooLong(1024, 'y');
    SetRaw("exact", REG_SZ, exact.c_str(), 1024);
    SetRaw("tooLong", REG_SZ, tooLong.c_str(), 1025);
    SetRaw("embedded", REG_SZ, "ab\0cd", 6);
    SetRaw("unterminated", REG_BINARY, "xyz", 3);
    DWORD number = 0x00434241;  // "ABC" as raw bytes
    SetRaw("number", REG_DWORD, &number, sizeof(number));

    RegistryKey key;
    ASSERT_TRUE(key.Open("Software\\PellmorrowRegistryTest", HKEY_CURRENT_USER));
    struct Case {
        const char* value;
        bool found;
        std::string text;
    } cases[] = {
        {"exact", true, exact},       {"tooLong", false, "kept"}, {"missing", false, "kept"},
        {"embedded", true, "ab"},     {"unterminated", true, "xyz"}, {"number", true, "ABC"},
    };
    for (const Case& c : cases) {
        std::string out = "kept";
        EXPECT_EQ(key.ReadString(c.value, out), c.found) << c.value;
        EXPECT_EQ(out, c.text) << c.value;
    }
}

TEST_F(RegistryKeyTest, ReadStringAsUtf16KeepsEveryCharacter) {
    const std::wstring folder = L"C:\\\u0418\u0433\u0440\u044b \u6e38\u620f";  // outside the Western code page
    const std::wstring exact(1024, L'x'), tooLong(1024, L'y');
    auto setWide = [](const wchar_t* name, const std::wstring& text) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\PellmorrowRegistryTest", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    };
    setWide(L"installDir", folder);
    // Every value the 8-bit read takes (1024 bytes of data) fits: 1024 characters without a NUL.
    setWide(L"exact", exact.substr(0, 1023));
    SetRaw("unterminated", REG_BINARY, std::wstring(exact).c_str(), 2048);
    setWide(L"tooLong", tooLong);

    RegistryKey key;
    ASSERT_TRUE(key.Open("Software\\PellmorrowRegistryTest", HKEY_CURRENT_USER));
    struct Case {
        const wchar_t* value;
        bool found;
        std::wstring text;
    } cases[] = {
        {L"installDir", true, folder}, {L"exact", true, exact.substr(0, 1023)}, {L"unterminated", true, exact},
        {L"tooLong", false, L"kept"},  {L"missing", false, L"kept"},
    };
    for (const Case& c : cases) {
        std::wstring out = L"kept";
        EXPECT_EQ(key.ReadString(c.value, out), c.found) << c.value;
        EXPECT_EQ(out, c.text) << c.value;
    }
}

TEST_F(RegistryKeyTest, WriteStringAsUtf16KeepsEveryCharacter) {
    const std::wstring folder = L"C:\\Program Files (x86)\\\u0418\u0433\u0440\u044b \u6e38\u620f";
    RegistryKey key;
    ASSERT_TRUE(key.OpenOrCreate("Software\\PellmorrowRegistryTest", HKEY_CURRENT_USER));
    EXPECT_TRUE(key.WriteString(L"installDir", folder));
    // Stored as the text with its NUL, of the type a string has, whoever reads it.
    wchar_t stored[64] = {};
    DWORD type = 0, size = sizeof(stored);
    ASSERT_EQ(RegQueryValueExW(key.Handle(), L"installDir", nullptr, &type, reinterpret_cast<BYTE*>(stored), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, (folder.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(std::wstring(stored), folder);
}

// The machine's keys are read in the view asked for (the tests' prefix is a 64-bit one, where
// the two views name different Program Files folders), and a key opened for reading takes no
// writes: a user who may not write a machine's key can still open it so.
TEST_F(RegistryKeyTest, OpenForReadingTakesTheViewAskedForAndReadsOnly) {
#ifdef _WIN64
    const std::wstring ownProgramFiles = L"C:\\Program Files";
#else
    const std::wstring ownProgramFiles = L"C:\\Program Files (x86)";
#endif
    struct Case {
        const char* view;
        RegistryView value;
        std::wstring programFiles;
    } cases[] = {
        {"own", RegistryView::Own, ownProgramFiles},
        {"native 64-bit", RegistryView::Native64, L"C:\\Program Files"},
    };
    for (const Case& c : cases) {
        RegistryKey key;
        ASSERT_TRUE(key.OpenForReading("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", HKEY_LOCAL_MACHINE, c.value))
            << c.view;
        std::wstring folder;
        DWORD type = 0;
        EXPECT_TRUE(key.ReadString(L"ProgramFilesDir", folder, &type)) << c.view;
        EXPECT_EQ(folder, c.programFiles) << c.view;
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << c.view;
    }

    SetRaw("remarks", REG_SZ, "text", 5);
    RegistryKey key;
    ASSERT_TRUE(key.OpenForReading("Software\\PellmorrowRegistryTest", HKEY_CURRENT_USER));
    std::string text;
    EXPECT_TRUE(key.ReadString("remarks", text));
    EXPECT_EQ(text, "text");
    EXPECT_FALSE(key.WriteString("remarks", "changed"));
    EXPECT_FALSE(key.DeleteValue("remarks"));
}

TEST_F(RegistryKeyTest, CreateGivesAKeyWithoutAccessRights) {
    RegistryKey key;
    ASSERT_TRUE(key.Open("Software", HKEY_CURRENT_USER));
    // Below the held key: the parent stays usable until the new key exists.
    ASSERT_TRUE(key.Create(kTestKey, key.Handle()));
    EXPECT_TRUE(TestKeyExists());
    EXPECT_FALSE(key.WriteString("x", "y"));
}

TEST_F(RegistryKeyTest, AnEmptyObjectRefusesEverything) {
    RegistryKey key;
    std::string out = "kept";
    EXPECT_FALSE(key.ReadString("installDir", out));
    EXPECT_EQ(out, "kept");
    EXPECT_FALSE(key.WriteString("a", "b"));
    EXPECT_FALSE(key.WriteDword("a", 1));
    EXPECT_FALSE(key.Open(kTestKey, key.Handle()));
    EXPECT_EQ(key.Close(), 0);
}

}  // namespace
