#include "services/HttpHeaders.h"

#include <gtest/gtest.h>

TEST(ContentLength, OnlyADecimalNumberWithin32BitsIsALength) {
    struct Case {
        const char* text;
        bool valid;
        uint32_t length;
    } cases[] = {
        {"0", true, 0},
        {"12345", true, 12345},
        {"007", true, 7},
        {"4294967295", true, 4294967295u},
        {"4294967296", false, 0},
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
        uint32_t length = 77;
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
    for (const char* text : {"bytes 100-999/*", "bytes */1000", "items 0-9/10", "bytes 10-5/20", "bytes 0-20/20",
                             "bytes 0-9/10 ", "bytes=0-9/10", "bytes 0-9", "bytes -9/10", "", "bytes 0-4294967296/5"})
        EXPECT_FALSE(ParseContentRange(text, &range)) << text;
}
