#include "controls/ProgressMath.h"

#include <climits>

namespace {

int Saturated(long long value) {
    if (value < INT_MIN) return INT_MIN;
    if (value > INT_MAX) return INT_MAX;
    return static_cast<int>(value);
}

// scale x (position - lower) / (upper - lower). The product stays below 2^63 for any ints:
// |position - lower| < 2^32 and |scale| <= 2^31.
int ScaledShare(long long scale, int position, int lower, int upper) {
    long long reached = static_cast<long long>(position) - lower;
    long long range = static_cast<long long>(upper) - lower;
    if (range <= 0) return 0;
    return Saturated(scale * reached / range);
}

// a x b as a 128-bit number (high and low halves), for b below 2^32; no 128-bit type on i686.
void MultiplyWide(std::uint64_t a, std::uint32_t b, std::uint64_t* high, std::uint64_t* low) {
    const std::uint64_t lowPart = (a & 0xFFFFFFFFu) * b;
    const std::uint64_t highPart = (a >> 32) * b;
    *low = lowPart + (highPart << 32);
    *high = (highPart >> 32) + (*low < lowPart ? 1 : 0);
}

// a x b <= c x d, for b and d below 2^32.
bool ProductAtMost(std::uint64_t a, std::uint32_t b, std::uint64_t c, std::uint32_t d) {
    std::uint64_t leftHigh, leftLow, rightHigh, rightLow;
    MultiplyWide(a, b, &leftHigh, &leftLow);
    MultiplyWide(c, d, &rightHigh, &rightLow);
    return leftHigh < rightHigh || (leftHigh == rightHigh && leftLow <= rightLow);
}

}  // namespace

int DownloadPercentage(std::uint64_t received, std::uint64_t total) {
    if (total == 0) return 0;
    if (received >= total) return 100;
    // The largest p of 0..99 with p x total <= received x 100.
    int low = 0, high = 99;
    while (low < high) {
        const int middle = (low + high + 1) / 2;
        if (ProductAtMost(total, static_cast<std::uint32_t>(middle), received, 100)) low = middle;
        else high = middle - 1;
    }
    return low;
}

int ProgressPercentage(int position, int lower, int upper) {
    return ScaledShare(100, position, lower, upper);
}

int FilledLength(int extent, int position, int lower, int upper) {
    return ScaledShare(extent, position, lower, upper);
}

int MovedPosition(int position, int delta) { return Saturated(static_cast<long long>(position) + delta); }

std::string ProgressText(const std::string& caption, bool percentAfterCaption, int percentage) {
    std::string percent = std::to_string(percentage) + "%";
    if (caption.empty()) return percent;
    if (percentAfterCaption) return caption + " " + percent;
    return caption;
}

std::uint32_t ResolveColor(std::uint32_t color, std::uint32_t systemColor) {
    return color == PPB_DEFAULT_COLOR ? systemColor : color;
}

std::size_t TruncateMultiByte(const char* text, std::size_t length, std::size_t maxBytes,
                              LeadBytePredicate isLeadByte) {
    std::size_t kept = 0;
    while (kept < length) {
        bool pair = isLeadByte(static_cast<unsigned char>(text[kept])) && kept + 1 < length;
        std::size_t next = kept + (pair ? 2 : 1);
        if (next > maxBytes) break;
        kept = next;
    }
    return kept;
}
