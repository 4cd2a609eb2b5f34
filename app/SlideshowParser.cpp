#include "app/SlideshowParser.h"

#include <sstream>
#include <utility>

std::list<BackgroundSlide> ParseSlideshow(const std::string& text) {
    std::list<BackgroundSlide> slides;
    // The description ends at its first NUL byte (npos keeps the whole text).
    std::istringstream stream(text.substr(0, text.find('\0')));
    // Tokens are taken in pairs (or a triple) until a read reaches the end of the text.
    while (stream.good()) {
        // Fresh for every round: a read that finds no token leaves its string as it was, and a key
        // kept from the round before would repeat the last slide when the text ends in blanks.
        std::string key, value;
        stream >> key >> value;
        if (key != "bk_image" || value.empty()) continue;
        BackgroundSlide slide;
        stream >> slide.url;  // stays empty when the text ends first
        slide.seconds = LeadingInteger(value);
        slides.push_back(std::move(slide));
    }
    return slides;
}

int32_t LeadingInteger(const std::string& text) {
    constexpr uint32_t kMagnitudeLimit = 2147483648u;  // |INT32_MIN|
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint32_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        uint32_t digit = static_cast<uint32_t>(text[i] - '0');
        if (magnitude > (kMagnitudeLimit - digit) / 10) {
            magnitude = kMagnitudeLimit;  // beyond the range: the rest of the digits change nothing
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (negative) return magnitude == kMagnitudeLimit ? INT32_MIN : -static_cast<int32_t>(magnitude);
    return magnitude >= kMagnitudeLimit ? INT32_MAX : static_cast<int32_t>(magnitude);
}

uint32_t DisplayMilliseconds(int32_t seconds) { return static_cast<uint32_t>(seconds) * 1000u; }
