#pragma once
// The slideshow's window-free parts: the reader of the description the server sends and the
// display time of a slide.
#include <cstdint>
#include <list>
#include <string>

// One picture of the slideshow and how long it stays, in whole seconds.
struct BackgroundSlide {
    std::string url;  // may be empty: the description ended before it
    int32_t seconds = 0;
};

// Reads a slideshow description: white-space separated tokens taken as key and value pairs; a
// "bk_image" key with a value reads one more token, the picture's URL, and gives one slide whose
// seconds are the value's leading number. Any other key skips exactly one token. The text ends
// at its first NUL byte.
std::list<BackgroundSlide> ParseSlideshow(const std::string& text);

// An optional sign and the leading decimal digits of `text`, 0 when there are none. A number
// beyond the range of int32_t is held at its limit (as the Windows runtime's atoi does),
// instead of the undefined result of an overflow.
int32_t LeadingInteger(const std::string& text);

// The display time handed to SetTimer: seconds x 1000 in unsigned 32-bit arithmetic, so that a
// negative or huge number of seconds wraps instead of overflowing.
uint32_t DisplayMilliseconds(int32_t seconds);
