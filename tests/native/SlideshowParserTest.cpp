// The slideshow description reader and the display time, without windows.
#include "app/SlideshowParser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Slides = std::vector<std::pair<std::string, int32_t>>;

Slides Parse(const std::string& text) {
    Slides slides;
    for (const BackgroundSlide& slide : ParseSlideshow(text)) slides.emplace_back(slide.url, slide.seconds);
    return slides;
}

const Slides kTwoPictures = {{"http://h/1.jpg", 3}, {"http://h/2.jpg", 7}};

TEST(SlideshowParser, ReadsDescriptions) {
    struct Case {
        const char* name;
        std::string text;
        Slides slides;
    };
    const Case cases[] = {
        {"one entry per line", "bk_image 3 http://h/1.jpg\nbk_image 7 http://h/2.jpg\n", kTwoPictures},
        {"spaces only", "bk_image 3 http://h/1.jpg bk_image 7 http://h/2.jpg", kTwoPictures},
        {"one token per line, every kind of blank",
         "bk_image\r\n3\r\nhttp://h/1.jpg\r\n\t bk_image\v7\fhttp://h/2.jpg\r\n", kTwoPictures},
        {"other keys take one value each", "title Welcome bk_image 3 http://h/1.jpg skin 2 bk_image 7 http://h/2.jpg",
         kTwoPictures},
        {"a key differing only in case is skipped with one token", "Bk_Image 5 bk_image 7 http://h/2.jpg",
         {{"http://h/2.jpg", 7}}},
        // "Online" becomes a key and swallows "bk_image"; the pairs never fall back in step.
        {"a value of several words puts the reader out of step", "title Pellmorrow Online bk_image 3 http://h/1.jpg",
         {}},
        {"seconds 0", "bk_image 0 http://h/1.jpg", {{"http://h/1.jpg", 0}}},
        {"non-numeric seconds", "bk_image soon http://h/1.jpg", {{"http://h/1.jpg", 0}}},
        {"leading digits and a sign", "bk_image 12s http://h/1.jpg bk_image +4 a bk_image -2 b bk_image - c",
         {{"http://h/1.jpg", 12}, {"a", 4}, {"b", -2}, {"c", 0}}},
        {"seconds beyond int32 are held at its limits",
         "bk_image 99999999999 a bk_image -2147483649 b bk_image 2147483647 c bk_image -2147483648 d",
         {{"a", INT32_MAX}, {"b", INT32_MIN}, {"c", INT32_MAX}, {"d", INT32_MIN}}},
        {"text ends right after the seconds", "bk_image 3 http://h/1.jpg bk_image 7", {{"http://h/1.jpg", 3}, {"", 7}}},
        {"only blanks after the seconds", "bk_image 7 \r\n", {{"", 7}}},
        {"text ends right after bk_image", "bk_image 3 http://h/1.jpg bk_image", {{"http://h/1.jpg", 3}}},
        {"blanks at the end repeat nothing", "bk_image 3 http://h/1.jpg\n\n  ", {{"http://h/1.jpg", 3}}},
        {"a NUL ends the text", "bk_image 3 http://h/1.jpg\0bk_image 7 http://h/2.jpg"s, {{"http://h/1.jpg", 3}}},
        {"a NUL inside a URL cuts it", "bk_image 3 http://h/1\0.jpg"s, {{"http://h/1", 3}}},
        {"bytes above 127 are not blanks", "bk_image 3 http://h/\xe9t\xa0x.jpg", {{"http://h/\xe9t\xa0x.jpg", 3}}},
        {"empty text", "", {}},
        {"blanks only", " \t\r\n\v\f ", {}},
        {"no bk_image entry", "hello world title x", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Parse(c.text), c.slides);
    }
}

TEST(SlideshowParser, DisplayTimeWrapsInUnsigned32Bits) {
    struct Case {
        int32_t seconds;
        uint32_t milliseconds;
    };
    const Case cases[] = {
        {3, 3000u},
        {0, 0u},
        {4294967, 4294967000u},   // the last that fits
        {4294968, 704u},          // wraps
        {INT32_MAX, 4294966296u},
        {-1, 4294966296u},
        {INT32_MIN, 0u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(DisplayMilliseconds(c.seconds), c.milliseconds);
    }
}

}  // namespace
