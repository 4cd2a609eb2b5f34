#include "controls/PictureHeader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// A JPEG's start: SOI, an APP0 segment to walk over, then a frame header of the given kind.
Bytes Jpeg(uint32_t width, uint32_t height, unsigned char frame = 0xC0) {
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 'J', 'F', 'I', 'F', 0xFF, 0xFF, frame, 0x00, 0x0B, 8};
    b.insert(b.end(), {static_cast<unsigned char>(height >> 8), static_cast<unsigned char>(height),
                       static_cast<unsigned char>(width >> 8), static_cast<unsigned char>(width), 1, 1, 0x11, 0});
    return b;
}

Bytes Gif(uint32_t screenW, uint32_t screenH, uint32_t imageW, uint32_t imageH) {
    Bytes b = {'G', 'I', 'F', '8', '9', 'a', static_cast<unsigned char>(screenW), static_cast<unsigned char>(screenW >> 8),
               static_cast<unsigned char>(screenH), static_cast<unsigned char>(screenH >> 8), 0x80, 0, 0};
    b.insert(b.end(), 6, 0);                         // a global colour table of 2 entries
    b.insert(b.end(), {0x21, 0xF9, 4, 0, 0, 0, 0, 0});  // a graphic control extension
    b.insert(b.end(), {0x2C, 0, 0, 0, 0, static_cast<unsigned char>(imageW), static_cast<unsigned char>(imageW >> 8),
                       static_cast<unsigned char>(imageH), static_cast<unsigned char>(imageH >> 8), 0});
    return b;
}

Bytes Bmp(int32_t width, int32_t height) {
    Bytes b(54, 0);
    b[0] = 'B';
    b[1] = 'M';
    b[14] = 40;
    for (int i = 0; i < 4; ++i) {
        b[18 + i] = static_cast<unsigned char>(static_cast<uint32_t>(width) >> (8 * i));
        b[22 + i] = static_cast<unsigned char>(static_cast<uint32_t>(height) >> (8 * i));
    }
    return b;
}

}  // namespace

TEST(PictureHeader, ReadsTheAnnouncedSizeOfEachFormat) {
    struct Case {
        const char* name;
        Bytes bytes;
        uint32_t width, height;
    } cases[] = {
        {"baseline JPEG", Jpeg(480, 223), 480, 223},
        {"progressive JPEG", Jpeg(20000, 20000, 0xC2), 20000, 20000},
        {"GIF image inside its screen", Gif(300, 200, 100, 50), 300, 200},
        {"GIF image larger than its screen", Gif(10, 10, 9000, 9000), 9000, 9000},
        {"BMP bottom-up", Bmp(640, 480), 640, 480},
        {"BMP top-down", Bmp(640, -480), 640, 480},
    };
    for (const Case& c : cases) {
        uint32_t width = 0, height = 0;
        EXPECT_TRUE(ReadPictureSize(c.bytes.data(), c.bytes.size(), &width, &height)) << c.name;
        EXPECT_EQ(width, c.width) << c.name;
        EXPECT_EQ(height, c.height) << c.name;
    }
}

TEST(PictureHeader, UnknownOrCutShortHeadersHaveNoSize) {
    Bytes jpeg = Jpeg(100, 100);
    Bytes scanFirst = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02};
    Bytes huffmanOnly = {0xFF, 0xD8, 0xFF, 0xC4, 0x00, 0x02, 0xFF, 0xD9};
    Bytes png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 1, 0, 0, 0, 1, 0};
    std::vector<std::pair<const char*, Bytes>> cases = {
        {"PNG", png},
        {"text", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}},
        {"scan before any frame", scanFirst},
        {"no frame header", huffmanOnly},
        {"JPEG of zero height", Jpeg(100, 0)},
        {"BMP of negative width", Bmp(-5, 5)},
        {"empty", Bytes{}},
    };
    // Cut anywhere before the last byte of the width.
    for (size_t cut = 0; cut + 4 < jpeg.size(); ++cut)
        cases.push_back({"JPEG cut short", Bytes(jpeg.begin(), jpeg.begin() + cut)});
    for (const auto& [name, bytes] : cases) {
        uint32_t width = 7, height = 7;
        EXPECT_FALSE(ReadPictureSize(bytes.data(), bytes.size(), &width, &height)) << name << " " << bytes.size();
        EXPECT_EQ(width, 7u) << name;
    }
}

TEST(PictureHeader, OnlyPicturesWithinTheBoundMayBeDecoded) {
    struct Case {
        uint32_t width, height;
        bool allowed;
    } cases[] = {
        {480, 223, true},       {2048, 2048, true},    {4096, 1024, true},  {4096, 1025, false},
        {4097, 10, false},      {10, 4097, false},     {20000, 20000, false}, {11200, 11200, false},
        {2049, 2048, false},
    };
    for (const Case& c : cases) {
        Bytes jpeg = Jpeg(c.width, c.height);
        EXPECT_EQ(PictureMayBeDecoded(jpeg.data(), jpeg.size()), c.allowed) << c.width << " x " << c.height;
    }
    EXPECT_FALSE(PictureMayBeDecoded(nullptr, 0));
}
