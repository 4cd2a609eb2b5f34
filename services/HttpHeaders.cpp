#include "services/HttpHeaders.h"

namespace {
// Reads a decimal number at `pos` up to the first non-digit; false without a digit or beyond
// 32 bits.
bool ReadNumber(const std::string& text, size_t& pos, uint32_t* value) {
    uint64_t number = 0;
    size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        number = number * 10 + static_cast<uint64_t>(text[pos] - '0');
        if (number > UINT32_MAX) return false;
        ++pos;
    }
    *value = static_cast<uint32_t>(number);
    return pos > start;
}
}  // namespace

bool ParseContentLength(const std::string& text, uint32_t* length) {
    size_t pos = 0;
    uint32_t value = 0;
    if (!ReadNumber(text, pos, &value) || pos != text.size()) return false;
    *length = value;
    return true;
}

bool ParseContentRange(const std::string& text, ByteRange* range) {
    static const std::string kUnit = "bytes ";
    if (text.compare(0, kUnit.size(), kUnit) != 0) return false;
    size_t pos = kUnit.size();
    ByteRange read;
    if (!ReadNumber(text, pos, &read.first) || pos >= text.size() || text[pos++] != '-' ||
        !ReadNumber(text, pos, &read.last) || pos >= text.size() || text[pos++] != '/' ||
        !ReadNumber(text, pos, &read.total) || pos != text.size())
        return false;
    if (read.first > read.last || read.last >= read.total) return false;
    *range = read;
    return true;
}
