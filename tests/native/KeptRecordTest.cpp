#include "services/KeptRecord.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr uint64_t kDay = 24ull * 60 * 60 * 10000000;
constexpr uint64_t kNow = 134000000000000000ull;  // a day in 2025, in 100 ns units since 1601

KeptRecord Sample() {
    KeptRecord record;
    record.url = "http://127.0.0.1:47811/index.new.php?action=installer&lang=1025";
    record.validator = "\"927c0-927c011\"";
    record.length = 5368709120ull;  // 5 GiB: past what 32 bits count
    record.kept = 4294967297ull;
    record.savedAt = kNow - kDay;
    for (unsigned i = 0; i < sizeof(record.digest); ++i) record.digest[i] = static_cast<unsigned char>(i * 37 + 1);
    record.volume = 0xdeadbeef;
    record.fileIndex = 0x0123456789abcdefull;
    return record;
}

TEST(KeptRecord, ReadsBackWhatItWrote) {
    const KeptRecord written = Sample();
    KeptRecord read;
    ASSERT_TRUE(ParseKeptRecord(FormatKeptRecord(written), &read));
    EXPECT_EQ(read.url, written.url);
    EXPECT_EQ(read.validator, written.validator);
    EXPECT_EQ(read.length, written.length);
    EXPECT_EQ(read.kept, written.kept);
    EXPECT_EQ(read.savedAt, written.savedAt);
    EXPECT_EQ(std::memcmp(read.digest, written.digest, sizeof(read.digest)), 0);
    EXPECT_EQ(read.volume, written.volume);
    EXPECT_EQ(read.fileIndex, written.fileIndex);
}

// A record that is not exactly what the writer makes is no record: the kept bytes beside it are
// then discarded, never resumed on a guess.
TEST(KeptRecord, RefusesAnythingTheWriterCannotHaveWritten) {
    const std::string good = FormatKeptRecord(Sample());
    auto replaced = [&good](const std::string& from, const std::string& to) {
        std::string text = good;
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? good : text.replace(at, from.size(), to);
    };
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"another format", replaced("download 1\n", "download 2\n")},
        {"cut before its end", good.substr(0, good.size() - 1)},
        {"something after it", good + "x"},
        {"a line missing", replaced("kept 4294967297\n", "")},
        {"lines swapped", replaced("length 5368709120\nkept 4294967297\n", "kept 4294967297\nlength 5368709120\n")},
        {"a carriage return", replaced("validator ", "validator \r")},
        {"a NUL in the URL", replaced("index", std::string("in\0dex", 6))},
        {"a sign", replaced("kept 4294967297", "kept +4294967297")},
        {"a leading zero", replaced("kept 4294967297", "kept 04294967297")},
        {"no number", replaced("saved ", "saved x")},
        {"past 64 bits", replaced("length 5368709120", "length 18446744073709551616")},
        {"upper-case digest", replaced("digest 01", "digest 0A")},
        {"short digest", replaced("digest 01", "digest 1")},
        {"file without its colon", replaced(":0123456789abcdef", "0123456789abcdef0")},
    };
    for (const auto& c : cases) {
        KeptRecord read;
        EXPECT_FALSE(ParseKeptRecord(c.text, &read)) << c.name;
    }
    KeptRecord largest = Sample();
    largest.length = UINT64_MAX;
    KeptRecord read;
    ASSERT_TRUE(ParseKeptRecord(FormatKeptRecord(largest), &read));
    EXPECT_EQ(read.length, UINT64_MAX);
}

TEST(KeptRecord, IsResumableOnlyForTheSameUrlWithSomeButNotAllBytesWithinAWeek) {
    const KeptRecord sample = Sample();
    const struct {
        const char* name;
        void (*change)(KeptRecord&);
        uint64_t now;
        bool resumable;
    } cases[] = {
        {"kept a day ago", [](KeptRecord&) {}, kNow, true},
        {"another URL", [](KeptRecord& r) { r.url += "&lang=1031"; }, kNow, false},
        {"no validator", [](KeptRecord& r) { r.validator.clear(); }, kNow, false},
        {"no bytes", [](KeptRecord& r) { r.kept = 0; }, kNow, false},
        {"every byte", [](KeptRecord& r) { r.kept = r.length; }, kNow, false},
        {"more bytes than the file", [](KeptRecord& r) { r.kept = r.length + 1; }, kNow, false},
        {"just under a week", [](KeptRecord&) {}, kNow - kDay + kKeptForAtMost - 1, true},
        {"a week", [](KeptRecord&) {}, kNow - kDay + kKeptForAtMost, false},
        {"a few seconds ahead of the clock", [](KeptRecord& r) { r.savedAt = kNow + 10 * 10000000ull; }, kNow, true},
        {"a day ahead of the clock", [](KeptRecord& r) { r.savedAt = kNow + kDay; }, kNow, false},
    };
    for (const auto& c : cases) {
        KeptRecord record = sample;
        c.change(record);
        EXPECT_EQ(IsResumable(record, sample.url, c.now), c.resumable) << c.name;
    }
}

}  // namespace
