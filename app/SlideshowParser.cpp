#include "app/SlideshowParser.h"

#include <algorithm>
#include <utility>

namespace {

// The blanks of the "C" locale, the only ones that separate tokens.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Hands out the text's tokens one at a time; an empty token once the text has no more.
class Tokens {
public:
    explicit Tokens(const std::string& text) : text_(text), end_(std::min(text.find('\0'), text.size())) {}
    std::string Next() {
        while (at_ < end_ && IsBlank(text_[at_])) ++at_;
        size_t start = at_;
        while (at_ < end_ && !IsBlank(text_[at_])) ++at_;
        return text_.substr(start, at_ - start);
    }

private:
    const std::string& text_;
    size_t end_;  // the description ends at its first NUL byte
    size_t at_ = 0;
};

}  // namespace

std::list<BackgroundSlide> ParseSlideshow(const std::string& text) {
    std::list<BackgroundSlide> slides;
    Tokens tokens(text);
    // Tokens are taken in pairs (or a triple) until the text has no more.
    for (std::string key = tokens.Next(); !key.empty(); key = tokens.Next()) {
        std::string value = tokens.Next();
        if (key != "bk_image" || value.empty()) continue;
        BackgroundSlide slide;
        slide.url = tokens.Next();  // empty when the text ends first
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
