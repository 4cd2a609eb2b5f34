#include "app/InstallerPaths.h"

#include <gtest/gtest.h>

TEST(InstallerPaths, OneSeparatorBetweenDirectoryAndName) {
    const struct {
        const char* directory;
        const char* path;
    } cases[] = {
        {"C:\\Temp\\", "C:\\Temp\\QVTInstaller.exe"},  // the temporary directory ends with one
        {"C:\\Work", "C:\\Work\\QVTInstaller.exe"},     // the current directory does not
        {"C:\\", "C:\\QVTInstaller.exe"},
        {"", "QVTInstaller.exe"},
    };
    for (const auto& c : cases) EXPECT_EQ(JoinPath(c.directory, "QVTInstaller.exe"), c.path) << c.directory;
}

TEST(InstallerPaths, GameCommandIsQuotedAsAWhole) {
    EXPECT_EQ(InstalledGameCommand("C:\\Program Files\\Pellmorrow", "Pellmorrow"),
              "\"C:\\Program Files\\Pellmorrow\\Pellmorrow.exe\"");
}
