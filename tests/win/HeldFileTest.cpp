// The setup program's file as the download leaves it: its digest tells the bytes written from any
// others, and while it is held nobody changes, renames, replaces or deletes it, but the setup
// program can still read itself. The check before it runs: its bytes, then its signature.
#include "services/FileDigest.h"
#include "services/HeldFile.h"
#include "services/PublisherCheck.h"

#include "TestFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {
std::wstring Folder() { return TestFolder(L"held-file-test"); }

bool WriteWhole(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file = AdoptFileHandle(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

BY_HANDLE_FILE_INFORMATION IdentityOf(const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION identity{};
    UniqueHandle file = AdoptFileHandle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                    nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(file && GetFileInformationByHandle(file.get(), &identity));
    return identity;
}

std::string Hex(const FileDigest& digest) {
    std::string text;
    for (unsigned char byte : digest.bytes) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
    }
    return text;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

FileDigest DigestOf(const std::string& bytes) {
    Sha256 sha;
    FileDigest digest;
    EXPECT_TRUE(sha.Add(bytes.data(), static_cast<DWORD>(bytes.size())) && sha.Finish(&digest));
    return digest;
}

// Larger than one read of the pass, with a byte in its last block that tells it from others.
std::string SetupBytes() {
    std::string bytes(700000, '\0');
    for (size_t at = 0; at < bytes.size(); ++at) bytes[at] = static_cast<char>(at * 7 + at / 251);
    return bytes;
}

std::string WithLastByteChanged(std::string bytes) {
    bytes.back() ^= 1;
    return bytes;
}

std::string ReadFromStart(HANDLE file) {
    std::string bytes;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0) return bytes;
    char block[65536];
    for (DWORD got = 0; ReadFile(file, block, sizeof(block), &got, nullptr) && got > 0;) bytes.append(block, got);
    return bytes;
}

// Read in pieces smaller than the file, so that a piece lost or read twice shows.
TEST(FileDigest, IsTheSha256OfTheWholeFileWhereverItIsRead) {
    const std::wstring path = Folder() + L"\\digest.bin";
    const struct {
        std::string bytes;
        const char* sha256;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    char buffer[4096];
    const std::atomic<bool> going{false};
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteWhole(path, c.bytes));
        UniqueHandle file = AdoptFileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        // From its start, wherever the position was left; and left at the start for the next reader.
        SetFilePointer(file.get(), static_cast<LONG>(c.bytes.size() / 2), nullptr, FILE_BEGIN);
        FileDigest digest;
        ASSERT_TRUE(DigestFile(file.get(), buffer, sizeof(buffer), going, &digest)) << c.bytes.size();
        EXPECT_EQ(Hex(digest), c.sha256) << c.bytes.size() << " bytes";
        EXPECT_EQ(SetFilePointer(file.get(), 0, nullptr, FILE_CURRENT), 0u);
    }
    DeleteFileW(path.c_str());
    RemoveDirectoryW(Folder().c_str());
}

// The digest a download takes as its blocks go to the file: pieces of any size give the digest of
// the bytes together; bytes added before a Restart count for nothing; a spent digest is no digest.
TEST(FileDigest, TakenPieceByPieceIsTheSha256OfTheBytesSinceTheLastRestart) {
    const struct {
        std::string bytes;
        size_t piece;
        const char* sha256;
    } cases[] = {
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'), 65536, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {std::string(1000000, 'a'), 999999, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        Sha256 sha;
        ASSERT_TRUE(sha.Add("bytes thrown away", 17));
        sha.Restart();
        for (size_t at = 0; at < c.bytes.size(); at += c.piece)
            ASSERT_TRUE(sha.Add(c.bytes.data() + at, static_cast<DWORD>(std::min(c.piece, c.bytes.size() - at))));
        FileDigest digest;
        ASSERT_TRUE(sha.Finish(&digest)) << c.bytes.size();
        EXPECT_EQ(Hex(digest), c.sha256) << c.bytes.size() << " bytes in pieces of " << c.piece;
        EXPECT_FALSE(sha.Add("x", 1)) << "added to a spent digest";
        EXPECT_FALSE(sha.Finish(&digest)) << "finished twice";
    }
}

TEST(FileDigest, StopsWhenAskedTo) {
    const std::wstring path = Folder() + L"\\stopped.bin";
    ASSERT_TRUE(WriteWhole(path, std::string(100000, 'x')));
    {
        UniqueHandle file = AdoptFileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        char buffer[4096];
        const std::atomic<bool> stop{true};
        FileDigest digest;
        EXPECT_FALSE(DigestFile(file.get(), buffer, sizeof(buffer), stop, &digest));
    }
    DeleteFileW(path.c_str());
    RemoveDirectoryW(Folder().c_str());
}

TEST(HeldFile, NobodyWritesRenamesReplacesOrDeletesItButItCanReadItself) {
    const std::wstring folder = Folder(), path = folder + L"\\setup.exe", other = folder + L"\\other.exe",
                       moved = folder + L"\\moved.exe";
    ASSERT_TRUE(WriteWhole(path, "the setup program"));
    ASSERT_TRUE(WriteWhole(other, "another program"));
    HeldFile held;
    ASSERT_TRUE(held.Hold(path.c_str(), IdentityOf(path)));
    EXPECT_EQ(AdoptFileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr)).get(), nullptr);
    EXPECT_FALSE(MoveFileExW(path.c_str(), moved.c_str(), 0));
    EXPECT_FALSE(MoveFileExW(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    // A setup program that reads its own file for its payload shares reading only, and so the
    // holder must not hold the right to delete.
    EXPECT_NE(AdoptFileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)).get(),
              nullptr);
    held.Delete(path.c_str());
    EXPECT_FALSE(Exists(path));
    EXPECT_FALSE(Exists(moved));
    DeleteFileW(other.c_str());
    RemoveDirectoryW(folder.c_str());
}

// Once a file is let go, another may be put at its path: that one is left alone.
TEST(HeldFile, NeverDeletesAnotherFileAtItsPath) {
    const std::wstring folder = Folder(), path = folder + L"\\setup.exe";
    ASSERT_TRUE(WriteWhole(path, "the setup program"));
    const BY_HANDLE_FILE_INFORMATION written = IdentityOf(path);
    HeldFile held;
    EXPECT_FALSE(held.Hold((folder + L"\\missing.exe").c_str(), written));
    // Made while the first still exists, so that it cannot take over the first one's number.
    const std::wstring other = folder + L"\\other.exe";
    ASSERT_TRUE(WriteWhole(other, "put there by someone else"));
    ASSERT_TRUE(MoveFileExW(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(held.Hold(path.c_str(), written));
    EXPECT_FALSE(held.IsHeld());
    DeleteIfSame(path.c_str(), written);
    EXPECT_TRUE(Exists(path));
    DeleteFileW(path.c_str());
    RemoveDirectoryW(folder.c_str());
}
// What was written against what was expected of it. The held handle's position is the
// signature check's (it reads the same file meanwhile): the comparison leaves it where it was.
TEST(HeldFile, ComparesItsBytesWithTheDigestTheyWereWrittenWith) {
    const std::wstring folder = Folder(), path = folder + L"\\setup.exe";
    const std::string written = SetupBytes();
    const struct {
        const char* name;
        std::string onDisk;
        bool expect;
        HeldFile::Content content;
    } cases[] = {
        {"as written", written, true, HeldFile::Content::Same},
        {"a byte changed past the first read", WithLastByteChanged(written), true, HeldFile::Content::Changed},
        {"a byte more", written + "x", true, HeldFile::Content::Changed},
        {"cut short", written.substr(0, written.size() - 1), true, HeldFile::Content::Changed},
        {"nothing expected of it", written, false, HeldFile::Content::Unread},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteWhole(path, c.onDisk));
        HeldFile held;
        ASSERT_TRUE(held.Hold(path.c_str(), IdentityOf(path)));
        if (c.expect) held.Expect(DigestOf(written));
        ASSERT_EQ(SetFilePointer(held.Get(), 12345, nullptr, FILE_BEGIN), 12345u);
        EXPECT_EQ(held.Compare(path.c_str()), c.content);
        EXPECT_EQ(SetFilePointer(held.Get(), 0, nullptr, FILE_CURRENT), 12345u);
        held.Delete(path.c_str());
        EXPECT_FALSE(Exists(path));
    }
    HeldFile notHeld;
    notHeld.Expect(DigestOf(written));
    EXPECT_EQ(notHeld.Compare(path.c_str()), HeldFile::Content::Unread);
    RemoveDirectoryW(folder.c_str());
}

// The check with the platform's signature verdict replaced by a set one; it also reads the held
// file whole through the holder, as WinVerifyTrust does, while the bytes are compared.
class SetVerdictCheck : public PublisherCheck {
public:
    explicit SetVerdictCheck(uint32_t verdict) : verdict(verdict) {}
    std::string readBySignature;

protected:
    uint32_t Signature(const std::wstring&, const std::wstring&) override {
        readBySignature = ReadFromStart(Held().Get());
        return verdict;
    }

private:
    const uint32_t verdict;
};

// A program runs only when its bytes are the ones written and its signature passes. A file
// that is not what was written is `changed` whatever the signature says: the verdict was on
// someone else's bytes.
TEST(PublisherCheck, RefusesBytesOtherThanThoseWrittenWhateverTheSignatureSays) {
    const std::wstring folder = Folder(), path = folder + L"\\setup.exe";
    const std::string written = SetupBytes();
    constexpr uint32_t kRefused = 0x800B0100;  // TRUST_E_NOSIGNATURE
    const struct {
        const char* name;
        std::string onDisk;
        bool expect;
        uint32_t signature;
        FailureReason reason;
        uint32_t detail;
    } cases[] = {
        {"as written, signed", written, true, 0, FailureReason::None, 0},
        {"as written, refused", written, true, kRefused, FailureReason::Signature, kRefused},
        {"changed, yet signed", WithLastByteChanged(written), true, 0, FailureReason::Changed, 0},
        {"changed and refused", WithLastByteChanged(written), true, kRefused, FailureReason::Changed, 0},
        {"nothing to compare with, signed", written, false, 0, FailureReason::File, 0},
        {"nothing to compare with, refused", written, false, kRefused, FailureReason::File, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteWhole(path, c.onDisk));
        HeldFile held;
        ASSERT_TRUE(held.Hold(path.c_str(), IdentityOf(path)));
        if (c.expect) held.Expect(DigestOf(written));
        SetVerdictCheck check(c.signature);
        const Failure verdict = check.Check(L"own.exe", path, std::move(held));
        EXPECT_EQ(FailureName(verdict.reason), std::string(FailureName(c.reason)));
        EXPECT_EQ(verdict.detail, c.detail);
        EXPECT_TRUE(check.readBySignature == c.onDisk) << "the signature check read other bytes";
        // Still held after the verdict: nobody could delete it.
        EXPECT_FALSE(DeleteFileW(path.c_str()));
        check.Delete(path);
        EXPECT_FALSE(Exists(path));
    }
    RemoveDirectoryW(folder.c_str());
}

// A development build has no signature to compare with (this test program is not signed): the
// program's bytes are checked all the same.
TEST(PublisherCheck, AnUnsignedBuildStillComparesTheBytes) {
    const std::wstring folder = Folder(), path = folder + L"\\setup.exe";
    const std::string written = SetupBytes();
    const struct {
        const char* name;
        std::string onDisk;
        FailureReason reason;
    } cases[] = {
        {"as written", written, FailureReason::None},
        {"changed", WithLastByteChanged(written), FailureReason::Changed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteWhole(path, c.onDisk));
        HeldFile held;
        ASSERT_TRUE(held.Hold(path.c_str(), IdentityOf(path)));
        held.Expect(DigestOf(written));
        PublisherCheck check;
        EXPECT_EQ(FailureName(check.Check(L"", path, std::move(held)).reason), std::string(FailureName(c.reason)));
        check.Delete(path);
        EXPECT_FALSE(Exists(path));
    }
    PublisherCheck nothingHeld;
    EXPECT_EQ(nothingHeld.Check(L"", path, HeldFile()).reason, FailureReason::File);
    RemoveDirectoryW(folder.c_str());
}
}  // namespace
