#include "services/HttpHeaders.h"

#include <gtest/gtest.h>

TEST(ContentLength, OnlyADecimalNumberWithin64BitsIsALength) {
    struct Case {
        const char* text;
        bool valid;
        uint64_t length;
    } cases[] = {
        {"0", true, 0},
        {"12345", true, 12345},
        {"007", true, 7},
        // Setup programs of 4 GiB and more.
        {"4294967295", true, 4294967295u},
        {"4294967296", true, 4294967296u},
        {"4294967396", true, 4294967396u},
        {"18446744073709551615", true, UINT64_MAX},
        {"000000000000000000000018446744073709551615", true, UINT64_MAX},
        // Past 64 bits, also where the sum would wrap around to a small number.
        {"18446744073709551616", false, 0},
        {"18446744073709551625", false, 0},
        {"20000000000000000001", false, 0},
        {"36893488147419103232", false, 0},
        {"99999999999999999999", false, 0},
        {"abc", false, 0},
        {"12abc", false, 0},
        {"", false, 0},
        {"-1", false, 0},
        {"+5", false, 0},
        {"1 2", false, 0},
        {" 5", false, 0},
        {"5, 5", false, 0},
        {"0x10", false, 0},
    };
    for (const Case& c : cases) {
        uint64_t length = 77;
        EXPECT_EQ(ParseContentLength(c.text, &length), c.valid) << c.text;
        EXPECT_EQ(length, c.valid ? c.length : 77u) << c.text;
    }
}

TEST(ContentRange, ReadsAByteRangeAndRefusesAnythingElse) {
    ByteRange range;
    ASSERT_TRUE(ParseContentRange("bytes 100-999/1000", &range));
    EXPECT_EQ(range.first, 100u);
    EXPECT_EQ(range.last, 999u);
    EXPECT_EQ(range.total, 1000u);
    ASSERT_TRUE(ParseContentRange("bytes 0-0/1", &range));
    EXPECT_EQ(range.total, 1u);
    // The rest of a body larger than 4 GiB, from a point past 4 GiB.
    ASSERT_TRUE(ParseContentRange("bytes 4294967300-4294967395/4294967396", &range));
    EXPECT_EQ(range.first, 4294967300u);
    EXPECT_EQ(range.last, 4294967395u);
    EXPECT_EQ(range.total, 4294967396u);
    ASSERT_TRUE(ParseContentRange("bytes 0-18446744073709551614/18446744073709551615", &range));
    EXPECT_EQ(range.last, UINT64_MAX - 1);
    EXPECT_EQ(range.total, UINT64_MAX);
    for (const char* text : {"bytes 100-999/*", "bytes */1000", "items 0-9/10", "bytes 10-5/20", "bytes 0-20/20",
                             "bytes 0-9/10 ", "bytes=0-9/10", "bytes 0-9", "bytes -9/10", "", "bytes 0-4294967296/5",
                             "bytes 0-18446744073709551615/18446744073709551615",
                             "bytes 0-9/18446744073709551616", "bytes 18446744073709551616-1/2"})
        EXPECT_FALSE(ParseContentRange(text, &range)) << text;
}
