#include "services/StampedBlock.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <cstdint>
#include <cstring>
#include <new>
#include <ostream>
#include <string>
#include <vector>

// While set, every `new (std::nothrow) T[n]` in this program fails, as it would with the
// memory gone. Other allocations go on as usual.
static bool failNothrowArrays = false;

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (failNothrowArrays) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

// ---- building stamped files by hand, the way any writer that follows the format would ----

std::string Marker() { return std::string(kStampMarker, kStampMarkerLength); }

std::string LittleEndian32(uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(value >> shift & 0xFF);
    return bytes;
}

uint32_t LittleEndian32At(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The 128-byte remarks field: text, NUL, then fill.
std::string RemarksField(const std::string& text, char fill = '\0') {
    std::string field = text + '\0';
    field.resize(kStampRemarksSize, fill);
    return field;
}

std::string Block(uint32_t id, const std::string& remarksField, uint32_t check) {
    return LittleEndian32(id) + remarksField + LittleEndian32(check);
}

std::string Stamp(uint32_t id, const std::string& remarks) {
    return Marker() + Block(id, RemarksField(remarks), StampCheckValue(id, remarks.c_str()));
}

std::string Junk(size_t length) {
    std::string junk;
    for (size_t i = 0; i < length; ++i) junk += static_cast<char>(i * 7 + 3);
    return junk;
}

// A file under the test temp directory holding the given bytes, removed when done.
class TempFile {
public:
    explicit TempFile(const std::string& bytes) {
        std::string pattern = testing::TempDir() + "stamped_block_XXXXXX";
        const int fd = mkstemp(&pattern[0]);
        if (fd < 0) return;
        path_ = pattern;
        std::FILE* file = fdopen(fd, "wb");
        const bool written = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
        if (file) std::fclose(file);
        EXPECT_TRUE(written) << path_;
    }
    ~TempFile() {
        if (!path_.empty()) std::remove(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

// ReadStamp's outputs, prefilled so that anything it writes shows.
struct Outputs {
    static constexpr unsigned kUntouchedId = 0xA5A5A5A5;
    static constexpr char kUntouched = 0x7F;

    unsigned id = kUntouchedId;
    char remarks[kStampRemarksSize];

    Outputs() { std::memset(remarks, kUntouched, sizeof remarks); }

    bool Read(const char* path, uint32_t skip = 0) { return StampedBlock().ReadStamp(path, &id, remarks, skip); }

    // Counts remarks bytes that still hold the fill, from `from` on.
    size_t UntouchedFrom(size_t from) const {
        size_t count = 0;
        for (size_t i = from; i < sizeof remarks; ++i) count += remarks[i] == kUntouched;
        return count;
    }
    void ExpectUntouched() const {
        EXPECT_EQ(id, kUntouchedId);
        EXPECT_EQ(UntouchedFrom(0), sizeof remarks);
    }
};

// ---- the check value ----

struct ChecksumCase {
    uint32_t id;
    const char* remarks;
    uint32_t check;
};

TEST(StampChecksumTest, KnownBlocks) {
    const ChecksumCase cases[] = {
        {11628, "0", 598},
        {11628, "", 490},
        {0, "", 641},
        {0, "abc", 785},
    };
    for (const ChecksumCase& c : cases)
        EXPECT_EQ(StampCheckValue(c.id, c.remarks), c.check) << c.id << " \"" << c.remarks << "\"";
}

TEST(StampChecksumTest, EachByteAddsAtMostAnEightBitValue) {
    // Bytes above 0x7F must count as unsigned chars: a sign-extended byte would add close to
    // 2^32 and blow through this bound.
    StampChecksum checksum;
    checksum.Seed(0xFFFFFFFF);
    const std::string high(127, '\xFF');
    checksum.Feed(high.data(), static_cast<unsigned>(high.size()));
    EXPECT_LE(checksum.Sum(), (4 + high.size()) * 255u);
}

// ---- FindBytes ----

struct FindCase {
    const char* name;
    std::string data;
    std::string pattern;
    bool found;
    int offset;  // match, or where the search stopped
};

void PrintTo(const FindCase& c, std::ostream* os) { *os << c.name; }

class FindBytesTest : public testing::TestWithParam<FindCase> {};

TEST_P(FindBytesTest, FindsFirstOccurrenceWithinBounds) {
    const FindCase& c = GetParam();
    // Exactly sized heap copies, so that a read past either end trips AddressSanitizer.
    const std::vector<char> data(c.data.begin(), c.data.end());
    const std::vector<char> pattern(c.pattern.begin(), c.pattern.end());
    int offset = -12345;
    const char* at = FindBytes(data.data(), static_cast<unsigned>(data.size()), pattern.data(),
                               static_cast<unsigned>(pattern.size()), &offset);
    EXPECT_EQ(offset, c.offset);
    if (c.found)
        EXPECT_EQ(at, data.data() + c.offset);
    else
        EXPECT_EQ(at, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindBytesTest,
    testing::Values(FindCase{"AtStart", "abcdef", "abc", true, 0},
                    FindCase{"AtEnd", "xxabc", "abc", true, 2},
                    FindCase{"WholeData", "abc", "abc", true, 0},
                    FindCase{"FirstOfSeveral", "xabab", "ab", true, 1},
                    FindCase{"AfterPartialMatch", "aaab", "aab", true, 1},
                    FindCase{"ZeroBytesCompared", std::string("a\0b\0c", 5), std::string("\0c", 2), true, 3},
                    FindCase{"Absent", "abcdef", "xyz", false, 4},
                    FindCase{"PrefixCutOffByEnd", "xxab", "abc", false, 2},
                    FindCase{"DataShorterThanPattern", "ab", "abc", false, 0},
                    FindCase{"EmptyData", "", "a", false, 0},
                    FindCase{"EmptyPattern", "abc", "", false, 0}),
    [](const testing::TestParamInfo<FindCase>& info) { return std::string(info.param.name); });

TEST(FindBytesTest, OffsetIsOptional) {
    EXPECT_NE(FindBytes("abc", 3, "c", 1, nullptr), nullptr);
    EXPECT_EQ(FindBytes("abc", 3, "d", 1, nullptr), nullptr);
}

// ---- ReadStamp on files ----

struct ReadCase {
    const char* name;
    std::string file;
    bool found;
    uint32_t id;
    std::string remarks;
    // Bytes at the start that the reader is told to pass over.
    uint32_t skip = 0;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

ReadCase NotFound(const char* name, std::string file, uint32_t skip = 0) {
    return {name, std::move(file), false, 0, "", skip};
}
ReadCase Found(const char* name, std::string file, uint32_t id, std::string remarks, uint32_t skip = 0) {
    return {name, std::move(file), true, id, std::move(remarks), skip};
}

std::vector<ReadCase> ReadCases() {
    std::string highBytes;  // 127 chars, 0x80 to 0xFE
    for (int c = 0x80; c < 0xFF; ++c) highBytes += static_cast<char>(c);
    const std::string noNul(kStampRemarksSize, 'n');
    StampChecksum overNoNul;
    overNoNul.Seed(3);
    overNoNul.Feed(noNul.data(), kStampRemarksSize);
    // The reader's own marker as it lies in a program, completed by the check that would make
    // it a block: over its id and its remarks field up to a NUL, or whole if there is none.
    const std::string ownMarker(kStampMarker, sizeof kStampMarker - 1);
    const uint32_t ownId = LittleEndian32At(ownMarker, kStampMarkerLength + kStampIdOffset);
    const std::string ownField = ownMarker.substr(kStampMarkerLength + kStampRemarksOffset, kStampRemarksSize);
    const uint32_t ownCheck = StampCheckValue(ownId, ownField.c_str());
    const std::string stamp = Stamp(9, "x");
    const std::string longRemarks(127, 'y');

    return {
        NotFound("EmptyFile", ""),
        NotFound("NoMarker", Junk(4000)),
        NotFound("MarkerTextAlone", "MZ" + Marker()),
        Found("BlockAlone", Stamp(11628, "0"), 11628, "0"),
        // Beyond the first kilobytes, with zeros and junk after it.
        Found("BlockAmidOtherData", Junk(3000) + Stamp(7, "hello") + std::string(4, '\0') + Junk(500), 7, "hello"),
        Found("LongestRemarksWithHighBytes", Stamp(0xFFFFFFFF, highBytes), 0xFFFFFFFF, highBytes),
        Found("EmptyRemarks", Stamp(11628, ""), 11628, ""),
        Found("BytesAfterNulIgnored", Marker() + Block(5, RemarksField("abc", '\xEE'), StampCheckValue(5, "abc")), 5,
              "abc"),
        Found("CheckOffByOneThenValid",
              Marker() + Block(1, RemarksField("bad"), StampCheckValue(1, "bad") + 1) + Stamp(2, "good"), 2, "good"),
        NotFound("BlockCutShortByEndOfFile", stamp.substr(0, stamp.size() - 1)),
        NotFound("MarkerNearEndOfFile", Junk(100) + Marker() + Junk(kStampBlockLength - 1)),
        Found("RemarksWithoutNulThenValid", Marker() + Block(3, noNul, overNoNul.Sum()) + Stamp(4, "after"), 4,
              "after"),
        // A rejected candidate's block starts with another marker: the search resumes inside it,
        // whether the candidate failed its check or had no NUL (the long remarks push it out).
        Found("MarkerInsideBlockWithBadCheck", Marker() + Stamp(6, "inner"), 6, "inner"),
        Found("MarkerInsideBlockWithoutNul", Marker() + Stamp(0x01020304, longRemarks), 0x01020304, longRemarks),
        Found("StampedTwiceFirstWins", Junk(64) + Stamp(1, "first") + Junk(64) + Stamp(2, "second"), 1, "first"),
        Found("ProgramsOwnMarkerSkipped", ownMarker + LittleEndian32(ownCheck) + Stamp(8, "real"), 8, "real"),
        // Passing over the program image: only what follows it is searched.
        Found("BlockRightAfterSkippedPart", Junk(300) + Stamp(5, "after"), 5, "after", 300),
        Found("BlockInSkippedPartUnseen", Stamp(1, "inside") + Stamp(2, "after"), 2, "after",
              static_cast<uint32_t>(stamp.size())),
        NotFound("MarkerStartsInSkippedPart", Junk(100) + Stamp(3, "x"), 101),
        NotFound("SkipCoversWholeFile", stamp, static_cast<uint32_t>(stamp.size())),
        NotFound("SkipBeyondEndOfFile", stamp, static_cast<uint32_t>(stamp.size()) + 10),
    };
}

class ReadStampTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadStampTest, ReadsFirstValidBlock) {
    const ReadCase& c = GetParam();
    TempFile file(c.file);
    Outputs out;
    ASSERT_EQ(out.Read(file.path(), c.skip), c.found);
    if (!c.found) {
        out.ExpectUntouched();
        return;
    }
    EXPECT_EQ(out.id, c.id);
    EXPECT_EQ(std::string(out.remarks), c.remarks);
    // Only the text and its NUL are copied.
    EXPECT_EQ(out.UntouchedFrom(c.remarks.size() + 1), kStampRemarksSize - c.remarks.size() - 1);
}

INSTANTIATE_TEST_SUITE_P(Files, ReadStampTest, testing::ValuesIn(ReadCases()),
                         [](const testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST(ReadStampFailureTest, MissingFile) {
    Outputs out;
    EXPECT_FALSE(out.Read((testing::TempDir() + "stamped_block_no_such_file").c_str()));
    out.ExpectUntouched();
}

TEST(ReadStampFailureTest, UnreadableFile) {
    // A directory opens for reading here, but every read fails.
    Outputs out;
    EXPECT_FALSE(out.Read(testing::TempDir().c_str()));
    out.ExpectUntouched();
}

TEST(ReadStampFailureTest, OutOfMemory) {
    TempFile file(Stamp(42, "fine"));
    Outputs out;
    failNothrowArrays = true;
    const bool read = out.Read(file.path());
    failNothrowArrays = false;
    EXPECT_FALSE(read);
    out.ExpectUntouched();
    // The same file reads once memory is back, so the failure above was the allocation's.
    EXPECT_TRUE(out.Read(file.path()));
}

TEST(ReadStampFailureTest, FileLongerThanItsReportedSize) {
    // Reports size 0 but has content: nothing may be stored past the buffer that size gave.
    Outputs out;
    EXPECT_FALSE(out.Read("/proc/self/status"));
    out.ExpectUntouched();
}

TEST(ReadStampFailureTest, UnstampedProgramHoldingTheMarker) {
    // This test program links the reader, so its file holds the marker text; it has no stamp.
    Outputs out;
    EXPECT_FALSE(out.Read("/proc/self/exe"));
    out.ExpectUntouched();
}

}  // namespace
