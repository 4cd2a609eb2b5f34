#include "app/InstallerPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

TEST(InstallerPaths, OneSeparatorBetweenDirectoryAndName) {
    const struct {
        const wchar_t* directory;
        const wchar_t* path;
    } cases[] = {
        {L"C:\\Temp\\", L"C:\\Temp\\QVTInstaller.exe"},  // the temporary directory ends with one
        {L"C:\\Work", L"C:\\Work\\QVTInstaller.exe"},     // the current directory does not
        {L"C:\\", L"C:\\QVTInstaller.exe"},
        {L"", L"QVTInstaller.exe"},
    };
    for (const auto& c : cases) EXPECT_EQ(JoinPath(c.directory, L"QVTInstaller.exe"), c.path) << c.directory;
}

TEST(InstallerPaths, GameCommandIsQuotedAsAWhole) {
    EXPECT_EQ(InstalledGameCommand(L"C:\\Program Files\\Pellmorrow", L"Pellmorrow"),
              L"\"C:\\Program Files\\Pellmorrow\\Pellmorrow.exe\"");
}

// A stand-in for GetTempPathW and its kind: the path it holds may change from one call to the next.
class ScriptedPathCall {
public:
    explicit ScriptedPathCall(std::vector<std::wstring> answers) : answers(std::move(answers)) {}

    uint32_t operator()(wchar_t* buffer, uint32_t size) {
        if (calls >= answers.size()) return 0;
        const std::wstring& path = answers[calls++];
        if (path.empty()) return 0;
        if (path.size() + 1 > size) return static_cast<uint32_t>(path.size() + 1);
        std::copy(path.begin(), path.end(), buffer);
        buffer[path.size()] = L'\0';
        return static_cast<uint32_t>(path.size());
    }
    size_t calls = 0;

private:
    std::vector<std::wstring> answers;
};

TEST(InstallerPaths, GrowingPathTakesAPathOfAnyLength) {
    const std::wstring shortPath = L"C:\\Users\\\u0416\u6f22\\Temp\\";
    const std::wstring longPath = L"C:\\" + std::wstring(5000, L'd') + L"\\";
    const std::wstring longer = longPath + std::wstring(3000, L'e') + L"\\";
    const std::wstring tooLong = L"C:\\" + std::wstring(kMaxPathBuffer, L'x');
    const std::wstring exact259(259, L'a'), exact260(260, L'b');  // the first buffer holds 260
    const struct {
        const char* name;
        std::vector<std::wstring> answers;
        std::wstring path;
        size_t calls;
    } cases[] = {
        {"fits at once", {shortPath}, shortPath, 1},
        {"259 characters and the NUL fill the first buffer", {exact259}, exact259, 1},
        {"260 characters need a second round", {exact260, exact260}, exact260, 2},
        {"longer than the first buffer", {longPath, longPath}, longPath, 2},
        {"grew between two calls", {longPath, longer, longer}, longer, 3},
        {"the call fails", {L""}, L"", 1},
        {"fails on the second round", {longPath, L""}, L"", 2},
        {"longer than any path may be", {tooLong}, L"", 1},
    };
    for (const auto& c : cases) {
        ScriptedPathCall call(c.answers);
        EXPECT_EQ(GrowingPath(std::ref(call)), c.path) << c.name;
        EXPECT_EQ(call.calls, c.calls) << c.name;
    }
}
