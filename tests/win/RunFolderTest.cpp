// The run's own folder for the setup program: new, unguessable, held, removed only if it is
// still this run's and empty.
#include "services/RunFolder.h"

#include "TestFolder.h"

#include <gtest/gtest.h>

#include <string>

namespace {
std::wstring Parent() { return TestFolder(L"run-folder-test"); }

bool IsFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Touch(const std::wstring& path) {
    UniqueHandle file = AdoptFileHandle(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

TEST(RunFolder, EachRunGetsANewFolderThatGoesWithIt) {
    const std::wstring parent = Parent();
    std::wstring first, second;
    {
        RunFolder one, two;
        ASSERT_TRUE(one.Create(parent));
        ASSERT_TRUE(two.Create(parent));
        first = one.Path();
        second = two.Path();
        EXPECT_NE(first, second);
        EXPECT_EQ(first.rfind(parent + L"\\", 0), 0u) << "not in the parent folder";
        EXPECT_TRUE(IsFolder(first));
        // Files can be made in it: the setup program goes there.
        EXPECT_TRUE(Touch(first + L"\\setup.exe"));
        EXPECT_TRUE(DeleteFileW((first + L"\\setup.exe").c_str()));
    }
    EXPECT_FALSE(IsFolder(first));
    EXPECT_FALSE(IsFolder(second));
    RemoveDirectoryW(parent.c_str());
}

TEST(RunFolder, NobodyRenamesOrDeletesItWhileTheRunLasts) {
    const std::wstring parent = Parent();
    RunFolder folder;
    ASSERT_TRUE(folder.Create(parent));
    const std::wstring moved = parent + L"\\moved";
    EXPECT_FALSE(MoveFileW(folder.Path().c_str(), moved.c_str()));
    EXPECT_FALSE(RemoveDirectoryW(folder.Path().c_str()));
    EXPECT_TRUE(IsFolder(folder.Path()));
    EXPECT_FALSE(IsFolder(moved));
    folder.Remove();
    RemoveDirectoryW(moved.c_str());
    RemoveDirectoryW(parent.c_str());
}

// What is still inside (a file the setup program left, or one put there by another program) is
// never deleted, and so neither is the folder.
TEST(RunFolder, RemovesNothingButItsOwnEmptyFolder) {
    const std::wstring parent = Parent();
    RunFolder folder;
    ASSERT_TRUE(folder.Create(parent));
    const std::wstring path = folder.Path(), left = path + L"\\left.txt";
    ASSERT_TRUE(Touch(left));
    folder.Remove();
    EXPECT_TRUE(folder.Path().empty());
    EXPECT_TRUE(IsFolder(path));
    EXPECT_NE(GetFileAttributesW(left.c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileW(left.c_str());
    RemoveDirectoryW(path.c_str());
    RemoveDirectoryW(parent.c_str());
}

TEST(RunFolder, NoParentNoFolder) {
    RunFolder folder;
    EXPECT_FALSE(folder.Create(L""));
    EXPECT_FALSE(folder.Create(Parent() + L"\\does-not-exist"));
    EXPECT_TRUE(folder.Path().empty());
    RemoveDirectoryW(Parent().c_str());
}
}  // namespace
