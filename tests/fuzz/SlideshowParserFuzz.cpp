// Arbitrary bytes as a slideshow description. Besides running the reader under AddressSanitizer
// and UBSan, each input is read a second time in the plainest way the rules allow (split at
// blanks, walk the tokens in pairs) and both readings must agree, down to every URL and number.
#include "app/SlideshowParser.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::vector<std::string> Tokens(const std::string& text) {
    std::vector<std::string> tokens;
    std::string token;
    for (char c : text) {
        if (c == '\0') break;
        if (!IsBlank(c)) {
            token += c;
        } else if (!token.empty()) {
            tokens.push_back(token);
            token.clear();
        }
    }
    if (!token.empty()) tokens.push_back(token);
    return tokens;
}

// strtoll saturates at the range of long long; the rest is held at int32's range here.
int32_t Seconds(const std::string& value) {
    long long number = std::strtoll(value.c_str(), nullptr, 10);
    if (number > INT32_MAX) return INT32_MAX;
    if (number < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(number);
}

std::vector<BackgroundSlide> ExpectedSlides(const std::string& text) {
    std::vector<std::string> tokens = Tokens(text);
    std::vector<BackgroundSlide> slides;
    for (size_t i = 0; i < tokens.size();) {
        const std::string& key = tokens[i];
        std::string value = i + 1 < tokens.size() ? tokens[i + 1] : std::string();
        i += 2;
        if (key != "bk_image" || value.empty()) continue;
        slides.push_back({i < tokens.size() ? tokens[i] : std::string(), Seconds(value)});
        ++i;
    }
    return slides;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::list<BackgroundSlide> slides = ParseSlideshow(text);
    const std::vector<BackgroundSlide> expected = ExpectedSlides(text);
    if (slides.size() != expected.size()) std::abort();
    auto want = expected.begin();
    for (const BackgroundSlide& slide : slides) {
        if (slide.url != want->url || slide.seconds != want->seconds) std::abort();
        if (DisplayMilliseconds(slide.seconds) != static_cast<uint32_t>((int64_t{slide.seconds} * 1000) & 0xFFFFFFFF))
            std::abort();
        ++want;
    }
    return 0;
}
