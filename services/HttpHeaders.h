#pragma once
// Readers of the response headers that decide whether a body is the one asked for. Window-free,
// so that they are tested natively and fuzzed.
#include <cstdint>
#include <string>

// A Content-Length: one or more decimal digits and nothing else, at most 4294967295 (byte counts
// are 32-bit). Anything else (a sign, a space inside, a letter, a larger number) is false.
bool ParseContentLength(const std::string& text, uint32_t* length);

// A Content-Range of a byte range: "bytes FIRST-LAST/TOTAL", each a decimal number as above,
// FIRST <= LAST < TOTAL. "*" totals and unit names other than "bytes" are false.
struct ByteRange {
    uint32_t first = 0;
    uint32_t last = 0;
    uint32_t total = 0;
};
bool ParseContentRange(const std::string& text, ByteRange* range);
