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

}  // namespace

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
