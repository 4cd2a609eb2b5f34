#include "services/HttpHeaders.h"

namespace {
// Reads a decimal number at `pos` up to the first non-digit; false without a digit or beyond
// 64 bits. The overflow is caught before the multiplication wraps: a wrapped number could pass
// for a small one (20000000000000000001 is 1 modulo 2^64).
bool ReadNumber(const std::string& text, size_t& pos, uint64_t* value) {
    uint64_t number = 0;
    size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        const unsigned digit = static_cast<unsigned>(text[pos] - '0');
        if (number > (UINT64_MAX - digit) / 10) return false;
        number = number * 10 + digit;
        ++pos;
    }
    *value = number;
    return pos > start;
}
}  // namespace

bool ParseContentLength(const std::string& text, uint64_t* length) {
    size_t pos = 0;
    uint64_t value = 0;
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
