#pragma once
// Readers of the response headers that decide whether a body is the one asked for. Window-free,
// so that they are tested natively and fuzzed.
#include <cstdint>
#include <string>

// A Content-Length: one or more decimal digits and nothing else, at most 18446744073709551615
// (setup programs of 4 GiB and more exist, so byte counts are 64-bit). Anything else (a sign, a
// space inside, a letter, a number that does not fit in 64 bits) is false.
bool ParseContentLength(const std::string& text, uint64_t* length);

// A Content-Range of a byte range: "bytes FIRST-LAST/TOTAL", each a decimal number as above,
// FIRST <= LAST < TOTAL. "*" totals and unit names other than "bytes" are false.
struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t total = 0;
};
bool ParseContentRange(const std::string& text, ByteRange* range);
