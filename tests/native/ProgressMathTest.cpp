// The status display's arithmetic and text, without windows.
#include "controls/ProgressMath.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

TEST(ProgressMath, PercentageOfPositionInRange) {
    struct Case {
        int position, lower, upper, percentage;
    };
    const Case cases[] = {
        {0, 0, 100, 0},
        {37, 0, 100, 37},
        {1, 0, 3, 33},
        {2, 0, 3, 66},            // truncated, not rounded
        {29, 0, 100, 29},         // 0.29 x 100 is 28.999... in floating point
        {57, 0, 100, 57},
        {-1, 0, 3, -33},          // toward zero, not down
        {150, 0, 100, 150},       // above the range: not clamped
        {-10, 0, 100, -10},       // below the range: negative
        {55, 50, 60, 50},         // measured from the lower limit
        {0, -100, 100, 50},
        {65535, 0, 65535, 100},
        {INT_MAX, INT_MIN, INT_MAX, 100},  // differences that overflow int
        {INT_MIN, INT_MIN, INT_MAX, 0},
        {INT_MAX, 0, 1, INT_MAX},          // far above: held at the limit
        {INT_MIN, 0, 1, INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.position << " of " << c.lower << ".." << c.upper);
        EXPECT_EQ(ProgressPercentage(c.position, c.lower, c.upper), c.percentage);
    }
    // The bar never asks with an empty range; should it, nothing divides by zero.
    EXPECT_EQ(ProgressPercentage(5, 10, 10), 0);
    EXPECT_EQ(FilledLength(442, 5, 10, 9), 0);
}

TEST(ProgressMath, DownloadPercentageOfCountsPast32Bits) {
    constexpr uint64_t k4G = uint64_t{1} << 32;
    struct Case {
        uint64_t received, total;
        int percentage;
    };
    const Case cases[] = {
        {0, 1000, 0},
        {1, 3, 33},
        {2, 3, 66},                               // truncated, not rounded
        {29, 100, 29},
        {999, 1000, 99},                          // 100 only once everything is in
        {1000, 1000, 100},
        {1001, 1000, 100},                        // never past 100
        {5, 0, 0},                                // no total known
        {k4G, k4G + 100, 99},                     // a 4 GiB setup: the first 4 GiB are not 0%
        {(k4G + 100) / 2, k4G + 100, 50},
        {k4G / 100, k4G, 0},                      // 0.99999...%: a 32-bit wrap would not show it
        {k4G / 100 + 1, k4G, 1},
        {k4G + 99, k4G + 100, 99},
        {UINT64_MAX / 100 + 1, UINT64_MAX, 1},    // received x 100 past 64 bits
        {UINT64_MAX / 2, UINT64_MAX, 49},         // 49.99999...%
        {UINT64_MAX / 2 + 1, UINT64_MAX, 50},
        {UINT64_MAX - 1, UINT64_MAX, 99},
        {UINT64_MAX, UINT64_MAX, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.received << " of " << c.total);
        EXPECT_EQ(DownloadPercentage(c.received, c.total), c.percentage);
    }
}

// Against 128-bit arithmetic (which the 32-bit Windows build lacks, hence the longer way),
// around the points where the percentage steps, for totals from a few bytes to 2^64 - 1.
TEST(ProgressMath, DownloadPercentageAgreesWithWideArithmetic) {
    const uint64_t totals[] = {1, 7, 100, 101, 4294967295u, uint64_t{1} << 32, (uint64_t{1} << 32) + 100,
                               uint64_t{1} << 57, (uint64_t{1} << 63) + 12345, UINT64_MAX / 100, UINT64_MAX / 100 + 1,
                               UINT64_MAX - 1, UINT64_MAX};
    for (uint64_t total : totals) {
        for (unsigned percent = 0; percent <= 100; ++percent) {
            // The first byte count that makes `percent`, and its neighbours.
            const unsigned __int128 step = (static_cast<unsigned __int128>(total) * percent + 99) / 100;
            for (int delta : {-1, 0, 1}) {
                const unsigned __int128 wide = step + delta;
                if (step == 0 && delta < 0) continue;
                if (wide > total) continue;
                const uint64_t received = static_cast<uint64_t>(wide);
                const int expected = static_cast<int>(static_cast<unsigned __int128>(received) * 100 / total);
                ASSERT_EQ(DownloadPercentage(received, total), expected) << received << " of " << total;
            }
        }
    }
}

TEST(ProgressMath, FilledLengthIsTruncatedToWholePixels) {
    struct Case {
        int extent, position, upper, length;
    };
    const Case cases[] = {
        {448, 50, 100, 224},
        {448, 37, 100, 165},  // 165.76
        {448, 1, 100, 4},     // 4.48
        {442, 0, 100, 0},
        {442, 100, 100, 442},
        {442, 105, 100, 464},  // beyond the client area; the paint keeps it inside
        {442, -10, 100, -44},  // toward zero
        {20, 1, 4, 5},
        {100, 29, 100, 29},
        {442, INT_MAX, 1, INT_MAX},
        {442, INT_MIN, 1, INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.position << "/" << c.upper << " of " << c.extent);
        EXPECT_EQ(FilledLength(c.extent, c.position, 0, c.upper), c.length);
    }
}

TEST(ProgressMath, MovedPositionHoldsAtTheLimitsOfInt) {
    EXPECT_EQ(MovedPosition(95, 10), 105);  // no wrap to the range
    EXPECT_EQ(MovedPosition(5, -15), -10);
    EXPECT_EQ(MovedPosition(INT_MAX - 5, 10), INT_MAX);
    EXPECT_EQ(MovedPosition(INT_MIN + 5, -10), INT_MIN);
    EXPECT_EQ(MovedPosition(INT_MAX, INT_MIN), -1);
}

TEST(ProgressMath, TextIsCaptionAndOrPercentage) {
    struct Case {
        const char* caption;
        bool percentAfterCaption;
        int percentage;
        const char* text;
    };
    const Case cases[] = {
        {"", true, 0, "0%"},
        {"Download in progress...", true, 37, "Download in progress... 37%"},
        {"Download in progress...", false, 37, "Download in progress..."},
        {"", false, 37, "37%"},  // an empty caption always shows the percentage
        {"Download failed!", false, 40, "Download failed!"},
        {"", true, -10, "-10%"},
        {"", true, 105, "105%"},
        {"50%", true, 50, "50% 50%"},  // a percent sign in the caption is text, not a format
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ProgressText(c.caption, c.percentAfterCaption, c.percentage), c.text);
    }
}

TEST(ProgressMath, OnlyTheExactDefaultValueSelectsTheSystemColor) {
    const std::uint32_t system = 0x00D77800;
    EXPECT_EQ(ResolveColor(PPB_DEFAULT_COLOR, system), system);
    EXPECT_EQ(ResolveColor(0x00155105, system), 0x00155105u);
    EXPECT_EQ(ResolveColor(0x00000000, system), 0x00000000u);  // black is a colour
    EXPECT_EQ(ResolveColor(0x01000005, system), 0x01000005u);  // other high bytes are kept
    EXPECT_EQ(ResolveColor(0xFF000001, system), 0xFF000001u);
}

// Lead bytes of code page 932 (Shift-JIS) and of code page 1252 (none).
bool IsLeadByte932(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
bool IsLeadByte1252(unsigned char) { return false; }

TEST(ProgressMath, TruncationNeverSplitsADoubleByteCharacter) {
    struct Case {
        const char* text;
        size_t maxBytes;
        LeadBytePredicate isLeadByte;
        size_t kept;
    };
    const Case cases[] = {
        {"Installing...", 5, IsLeadByte932, 5},
        {"Installing...", 13, IsLeadByte932, 13},
        {"Installing...", 100, IsLeadByte932, 13},
        {"Installing...", 0, IsLeadByte932, 0},
        {"\x82\xA0\x82\xA2", 3, IsLeadByte932, 2},  // a lead byte at the cut is left out
        {"\x82\xA0\x82\xA2", 1, IsLeadByte932, 0},
        {"\x82\xA0\x82\xA2", 4, IsLeadByte932, 4},
        {"a\x82\xA0" "b", 2, IsLeadByte932, 1},
        {"a\x82\xA0" "b", 3, IsLeadByte932, 3},
        // The trail byte 0x81 has a lead byte's value: only a walk from the start sees that
        // the cut after it falls between two characters.
        {"\x82\x81" "a", 2, IsLeadByte932, 2},
        {"\x82\x81\x82\xA0", 3, IsLeadByte932, 2},
        {"ab\x82", 3, IsLeadByte932, 3},  // a lead byte with no trail byte is one character
        {"\x82\xA0\x82\xA2", 3, IsLeadByte1252, 3},  // single-byte code page: any cut is fine
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << testing::PrintToString(std::string(c.text)) << " in "
                                        << c.maxBytes);
        EXPECT_EQ(TruncateMultiByte(c.text, std::strlen(c.text), c.maxBytes, c.isLeadByte), c.kept);
    }
}

}  // namespace
