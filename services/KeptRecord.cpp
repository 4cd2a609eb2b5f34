#include "services/KeptRecord.h"

#include <cstddef>
#include <cstring>

namespace {
constexpr const char* kFirstLine = "pellmorrow kept download 1\n";
// A clock may be a little off between two runs; more than this in the future is not a kept time.
constexpr uint64_t kClockSlack = 60ull * 10000000;

// The record's lines, in order: a name, a space, the value, a newline.
enum class Kind { Text, Decimal, Digest, File };
struct Field {
    const char* name;
    Kind kind;
};
constexpr Field kFields[] = {
    {"url", Kind::Text},        {"validator", Kind::Text}, {"length", Kind::Decimal}, {"kept", Kind::Decimal},
    {"saved", Kind::Decimal},   {"digest", Kind::Digest},  {"file", Kind::File},
};

// The member a field's line holds (a const one for a const record).
template <typename Record>
auto TextOf(Record& record, size_t field) -> decltype(&record.url) {
    return field == 0 ? &record.url : &record.validator;
}
template <typename Record>
auto NumberOf(Record& record, size_t field) -> decltype(&record.length) {
    return field == 2 ? &record.length : field == 3 ? &record.kept : &record.savedAt;
}

void AppendDecimal(std::string& out, uint64_t value) {
    char digits[20];
    size_t count = 0;
    do digits[count++] = static_cast<char>('0' + value % 10);
    while ((value /= 10) != 0);
    while (count > 0) out += digits[--count];
}

void AppendHex(std::string& out, uint64_t value, int digits) {
    while (digits-- > 0) out += "0123456789abcdef"[(value >> (4 * digits)) & 15];
}

// As the writer writes numbers: decimal digits, no leading zero, at most 2^64 - 1.
bool ReadDecimal(const char* text, size_t size, uint64_t* value) {
    if (size == 0 || size > 20 || (text[0] == '0' && size > 1)) return false;
    uint64_t number = 0;
    for (size_t i = 0; i < size; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (number > (UINT64_MAX - digit) / 10) return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

// Exactly `digits` lowercase hex digits.
bool ReadHex(const char* text, int digits, uint64_t* value) {
    uint64_t number = 0;
    for (int i = 0; i < digits; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        number = number << 4 | static_cast<uint64_t>(digit);
    }
    *value = number;
    return true;
}

bool ReadValue(KeptRecord& record, size_t field, const char* text, size_t size) {
    switch (kFields[field].kind) {
        case Kind::Text:
            TextOf(record, field)->assign(text, size);
            return true;
        case Kind::Decimal:
            return ReadDecimal(text, size, NumberOf(record, field));
        case Kind::Digest:
            if (size != 2 * sizeof(record.digest)) return false;
            for (size_t i = 0; i < sizeof(record.digest); ++i) {
                uint64_t byte = 0;
                if (!ReadHex(text + 2 * i, 2, &byte)) return false;
                record.digest[i] = static_cast<unsigned char>(byte);
            }
            return true;
        case Kind::File: {
            uint64_t volume = 0;
            if (size != 8 + 1 + 16 || text[8] != ':' || !ReadHex(text, 8, &volume) ||
                !ReadHex(text + 9, 16, &record.fileIndex))
                return false;
            record.volume = static_cast<uint32_t>(volume);
            return true;
        }
    }
    return false;
}
}  // namespace

std::string FormatKeptRecord(const KeptRecord& record) {
    std::string out = kFirstLine;
    for (size_t field = 0; field < sizeof(kFields) / sizeof(kFields[0]); ++field) {
        out.append(kFields[field].name).append(1, ' ');
        switch (kFields[field].kind) {
            case Kind::Text: out.append(*TextOf(record, field)); break;
            case Kind::Decimal: AppendDecimal(out, *NumberOf(record, field)); break;
            case Kind::Digest:
                for (unsigned char byte : record.digest) AppendHex(out, byte, 2);
                break;
            case Kind::File:
                AppendHex(out, record.volume, 8);
                out += ':';
                AppendHex(out, record.fileIndex, 16);
                break;
        }
        out += '\n';
    }
    return out;
}

bool ParseKeptRecord(const std::string& text, KeptRecord* record) {
    const size_t firstSize = std::strlen(kFirstLine);
    if (text.compare(0, firstSize, kFirstLine) != 0) return false;
    KeptRecord read;
    size_t pos = firstSize;
    for (size_t field = 0; field < sizeof(kFields) / sizeof(kFields[0]); ++field) {
        // "name value\n", the value free of carriage returns and NULs.
        const size_t nameSize = std::strlen(kFields[field].name);
        if (text.compare(pos, nameSize, kFields[field].name) != 0 || text.size() <= pos + nameSize ||
            text[pos + nameSize] != ' ')
            return false;
        const size_t start = pos + nameSize + 1;
        const size_t end = text.find('\n', start);
        if (end == std::string::npos || text.find_first_of(std::string("\r\0", 2), start) < end) return false;
        if (!ReadValue(read, field, text.data() + start, end - start)) return false;
        pos = end + 1;
    }
    if (pos != text.size()) return false;
    *record = read;
    return true;
}

bool IsResumable(const KeptRecord& record, const std::string& url, uint64_t now) {
    if (record.url != url || record.validator.empty() || record.kept == 0 || record.kept >= record.length) return false;
    if (record.savedAt > now) return record.savedAt - now <= kClockSlack;
    return now - record.savedAt < kKeptForAtMost;
}
