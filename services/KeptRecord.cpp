#include "services/KeptRecord.h"

#include <cstddef>

namespace {
constexpr const char* kFirstLine = "pellmorrow kept download 1\n";
constexpr const char* kHex = "0123456789abcdef";
// A clock may be a little off between two runs; more than this in the future is not a kept time.
constexpr uint64_t kClockSlack = 60ull * 10000000;

// The next line's value after "name ", up to its newline; false when the line is not that one or
// holds a character a value never has.
bool ReadLine(const std::string& text, size_t& pos, const char* name, std::string* value) {
    const std::string prefix = std::string(name) + ' ';
    if (text.compare(pos, prefix.size(), prefix) != 0) return false;
    const size_t start = pos + prefix.size();
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;
    for (size_t i = start; i < end; ++i)
        if (text[i] == '\r' || text[i] == '\0') return false;
    value->assign(text, start, end - start);
    pos = end + 1;
    return true;
}

bool ReadDecimal(const std::string& text, uint64_t* value) {
    // As the writer writes numbers: no leading zero.
    if (text.empty() || text.size() > 20 || (text[0] == '0' && text.size() > 1)) return false;
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (number > (UINT64_MAX - digit) / 10) return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Exactly `digits` lowercase hex digits.
bool ReadHex(const std::string& text, size_t digits, uint64_t* value) {
    if (text.size() != digits || digits > 16) return false;
    uint64_t number = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) return false;
        number = number << 4 | static_cast<uint64_t>(digit);
    }
    *value = number;
    return true;
}

void AppendHex(std::string& out, uint64_t value, size_t digits) {
    for (size_t i = digits; i-- > 0;) out += kHex[(value >> (4 * i)) & 15];
}
}  // namespace

std::string FormatKeptRecord(const KeptRecord& record) {
    std::string out = kFirstLine;
    out += "url " + record.url + "\n";
    out += "validator " + record.validator + "\n";
    out += "length " + std::to_string(record.length) + "\n";
    out += "kept " + std::to_string(record.kept) + "\n";
    out += "saved " + std::to_string(record.savedAt) + "\n";
    out += "digest ";
    for (unsigned char byte : record.digest) AppendHex(out, byte, 2);
    out += "\nfile ";
    AppendHex(out, record.volume, 8);
    out += ':';
    AppendHex(out, record.fileIndex, 16);
    out += '\n';
    return out;
}

bool ParseKeptRecord(const std::string& text, KeptRecord* record) {
    const std::string first = kFirstLine;
    if (text.compare(0, first.size(), first) != 0) return false;
    size_t pos = first.size();
    KeptRecord read;
    std::string length, kept, saved, digest, file;
    if (!ReadLine(text, pos, "url", &read.url) || !ReadLine(text, pos, "validator", &read.validator) ||
        !ReadLine(text, pos, "length", &length) || !ReadLine(text, pos, "kept", &kept) ||
        !ReadLine(text, pos, "saved", &saved) || !ReadLine(text, pos, "digest", &digest) ||
        !ReadLine(text, pos, "file", &file) || pos != text.size())
        return false;
    if (!ReadDecimal(length, &read.length) || !ReadDecimal(kept, &read.kept) || !ReadDecimal(saved, &read.savedAt))
        return false;
    if (digest.size() != 2 * sizeof(read.digest)) return false;
    for (size_t i = 0; i < sizeof(read.digest); ++i) {
        uint64_t byte = 0;
        if (!ReadHex(digest.substr(2 * i, 2), 2, &byte)) return false;
        read.digest[i] = static_cast<unsigned char>(byte);
    }
    uint64_t volume = 0;
    if (file.size() != 8 + 1 + 16 || file[8] != ':' || !ReadHex(file.substr(0, 8), 8, &volume) ||
        !ReadHex(file.substr(9), 16, &read.fileIndex))
        return false;
    read.volume = static_cast<uint32_t>(volume);
    *record = read;
    return true;
}

bool IsResumable(const KeptRecord& record, const std::string& url, uint64_t now) {
    if (record.url != url || record.validator.empty() || record.kept == 0 || record.kept >= record.length) return false;
    if (record.savedAt > now) return record.savedAt - now <= kClockSlack;
    return now - record.savedAt < kKeptForAtMost;
}
