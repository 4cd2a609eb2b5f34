// The place where an interrupted download's bytes wait for the next run: what is taken from it
// and what is refused (and then deleted, never followed).
#include "services/KeptDownload.h"

#include "services/FileDigest.h"

#include <gtest/gtest.h>

#include "TestFolder.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kUrl = "http://127.0.0.1:8/index.new.php?action=installer&lang=1025";
const std::vector<std::wstring> kNames = {L"Kept Product", L"Interrupted downloads"};

std::wstring Root() { return TestFolder(L"kept-download-test"); }
std::wstring Folder() { return Root() + L"\\Kept Product\\Interrupted downloads"; }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The files of the place, by suffix (".part", ".record"), whatever the URL's key.
std::vector<std::wstring> FilesEndingIn(const std::wstring& suffix) {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((Folder() + L"\\*" + suffix).c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do found.push_back(Folder() + L"\\" + data.cFileName);
    while (FindNextFileW(search, &data));
    FindClose(search);
    return found;
}

std::string ReadAll(const std::wstring& path) {
    UniqueHandle file = AdoptFileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                    nullptr, OPEN_EXISTING, 0, nullptr));
    std::string text;
    char block[65536];
    DWORD read = 0;
    while (file && ReadFile(file.get(), block, sizeof(block), &read, nullptr) && read > 0) text.append(block, read);
    return text;
}

void WriteAll(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file = AdoptFileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

// Empties the place between tests.
void Clear() {
    for (const wchar_t* suffix : {L".part", L".record", L".record.new", L".lock", L".other"})
        for (const std::wstring& path : FilesEndingIn(suffix)) DeleteFileW(path.c_str());
    RemoveDirectoryW(Folder().c_str());
    RemoveDirectoryW((Root() + L"\\Kept Product").c_str());
}

// What a download does when it keeps its bytes: a partial file, marked to go when closed,
// handed to the place with what it is.
bool KeepBytes(KeptDownload& place, const std::string& bytes, uint64_t length) {
    const std::wstring path = Root() + L"\\partial.bin";
    UniqueHandle file = AdoptFileHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                                    CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        !SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition)))
        return false;
    KeptRecord record;
    record.validator = "\"v1\"";
    record.length = length;
    record.kept = bytes.size();
    Sha256 sha;
    FileDigest digest;
    if (!sha.Add(bytes.data(), static_cast<DWORD>(bytes.size())) || !sha.Finish(&digest)) return false;
    std::memcpy(record.digest, digest.bytes, sizeof(record.digest));
    return place.Claim() && place.Keep(file.get(), record);
}

std::string Bytes() { return std::string(100000, 'k') + "end"; }

class KeptDownloadTest : public testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    // Bytes kept by an earlier run, whose place is free again.
    void KeepFromAnEarlierRun() {
        KeptDownload earlier;
        earlier.Prepare(Root(), kNames, kUrl);
        ASSERT_TRUE(KeepBytes(earlier, Bytes(), 300000));
    }
};

TEST_F(KeptDownloadTest, TheNextRunTakesWhatWasKeptAndNobodyElseMeanwhile) {
    KeepFromAnEarlierRun();
    ASSERT_EQ(FilesEndingIn(L".part").size(), 1u);

    KeptDownload next;
    next.Prepare(Root(), kNames, kUrl);
    KeptFile taken = next.Take();
    ASSERT_TRUE(taken.file);
    EXPECT_EQ(taken.record.url, kUrl);
    EXPECT_EQ(taken.record.validator, "\"v1\"");
    EXPECT_EQ(taken.record.length, 300000u);
    EXPECT_EQ(taken.record.kept, Bytes().size());
    std::string read(Bytes().size() + 10, '\0');
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(taken.file.get(), &read[0], static_cast<DWORD>(read.size()), &got, nullptr));
    EXPECT_TRUE(read.substr(0, got) == Bytes());

    // A second installer at the same time finds the place taken: it neither takes nor keeps.
    KeptDownload second;
    second.Prepare(Root(), kNames, kUrl);
    EXPECT_FALSE(second.Take().file);
    EXPECT_FALSE(KeepBytes(second, "other", 300000));
    EXPECT_TRUE(Exists(FilesEndingIn(L".record").at(0))) << "the second installer discarded the first one's record";
}

// Whatever is not the file the record names, as it was kept, is refused and deleted; what a link
// points to is never touched.
TEST_F(KeptDownloadTest, RefusesAndDeletesWhatIsNotTheKeptFile) {
    const std::wstring elsewhere = Root() + L"\\someone-elses.txt";
    const struct {
        const char* name;
        void (*change)(const std::wstring& part, const std::wstring& record, const std::wstring& elsewhere);
    } cases[] = {
        {"another file put in its place, with the same bytes",
         [](const std::wstring& part, const std::wstring&, const std::wstring& other) {
             ASSERT_TRUE(MoveFileW(part.c_str(), other.c_str()));
             WriteAll(part, Bytes());
         }},
        {"a byte more",
         [](const std::wstring& part, const std::wstring&, const std::wstring&) { WriteAll(part, Bytes() + "x"); }},
        {"a second name for the file elsewhere",
         [](const std::wstring& part, const std::wstring&, const std::wstring& other) {
             CreateHardLinkW(other.c_str(), part.c_str(), nullptr);
         }},
        {"a damaged record",
         [](const std::wstring&, const std::wstring& record, const std::wstring&) {
             WriteAll(record, ReadAll(record).substr(0, 40));
         }},
        {"kept eight days ago",
         [](const std::wstring&, const std::wstring& record, const std::wstring&) {
             KeptRecord read;
             ASSERT_TRUE(ParseKeptRecord(ReadAll(record), &read));
             read.savedAt -= 8ull * 24 * 60 * 60 * 10000000;
             WriteAll(record, FormatKeptRecord(read));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Clear();
        DeleteFileW(elsewhere.c_str());
        KeepFromAnEarlierRun();
        ASSERT_EQ(FilesEndingIn(L".part").size(), 1u);
        const std::wstring part = FilesEndingIn(L".part")[0];
        const std::wstring record = FilesEndingIn(L".record")[0];
        c.change(part, record, elsewhere);

        KeptDownload next;
        next.Prepare(Root(), kNames, kUrl);
        EXPECT_FALSE(next.Take().file);
        EXPECT_FALSE(Exists(part));
        EXPECT_FALSE(Exists(record));
        if (Exists(elsewhere)) EXPECT_TRUE(ReadAll(elsewhere) == Bytes()) << "the file elsewhere was changed";
    }
    DeleteFileW(elsewhere.c_str());
}

// Another URL's kept bytes are left alone while they may still be resumed, and go once too old;
// the folder goes when nothing is kept in it. The product's folder above it may be the game's
// own: only a run that made it removes it.
TEST_F(KeptDownloadTest, AnotherUrlsBytesStayUntilTooOldAndEmptyFoldersGo) {
    KeepFromAnEarlierRun();
    const std::wstring part = FilesEndingIn(L".part").at(0), record = FilesEndingIn(L".record").at(0);
    {
        KeptDownload other;
        other.Prepare(Root(), kNames, kUrl + "&lang=1031");
        EXPECT_FALSE(other.Take().file);
        other.Discard();
    }
    EXPECT_TRUE(Exists(part));
    EXPECT_TRUE(Exists(record));

    KeptRecord read;
    ASSERT_TRUE(ParseKeptRecord(ReadAll(record), &read));
    read.savedAt -= 8ull * 24 * 60 * 60 * 10000000;
    WriteAll(record, FormatKeptRecord(read));
    {
        KeptDownload other;
        other.Prepare(Root(), kNames, kUrl + "&lang=1031");
        EXPECT_TRUE(other.Claim());
    }
    EXPECT_FALSE(Exists(part));
    EXPECT_FALSE(Exists(record));
    EXPECT_FALSE(Exists(Folder())) << "an empty folder was left";
    EXPECT_TRUE(Exists(Root() + L"\\Kept Product")) << "a folder an earlier run made was removed";
    {
        KeptDownload alone;
        alone.Prepare(Root(), {L"Made Here", L"Interrupted downloads"}, kUrl);
        EXPECT_TRUE(alone.Claim());
    }
    EXPECT_FALSE(Exists(Root() + L"\\Made Here")) << "the empty folder this run made was left";
}

}  // namespace
