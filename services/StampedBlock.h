#pragma once
// The stamp a publisher writes into each distributed copy of the installer: the affiliate the
// copy belongs to and a remarks text. The stamping tool writes it after the build; the
// installer reads it back from its own .exe at start.
//
// In the file: the marker text, then a block of kStampBlockLength bytes:
//   +0    affiliate id, 32-bit little-endian
//   +4    remarks, 8-bit text ending in a NUL inside the 128-byte field (at most 127 chars);
//         whatever follows the NUL is ignored
//   +132  check value, 32-bit little-endian (StampCheckValue of the id and the remarks)
// Marker and block may sit anywhere in the file, with anything before or after them.
//
// No Windows headers here: this builds for the installer and natively for the tests and tool.
#include <cstdint>

static_assert(sizeof(unsigned) == 4, "the stamp's 32-bit fields are read into unsigned");

constexpr unsigned kStampMarkerLength = 25;
constexpr unsigned kStampIdOffset = 0;
constexpr unsigned kStampRemarksOffset = 4;
constexpr unsigned kStampRemarksSize = 128;
constexpr unsigned kStampCheckOffset = 132;
constexpr unsigned kStampBlockLength = 136;

// The marker is the first kStampMarkerLength bytes (no terminator in the file). Every program
// that searches for the marker holds its text, so the installer's own file contains it inside
// the program image, ahead of the real stamp. The bytes that follow the text here form a
// remarks field without a NUL, so this copy can never be taken for a block.
extern const char kStampMarker[kStampMarkerLength + kStampRemarksOffset + kStampRemarksSize + 1];

// The running sum behind a block's check value.
class StampChecksum {
public:
    // Adds one byte; returns the new sum.
    uint32_t Step(unsigned char p);
    // Adds the four bytes of value, lowest first.
    void Seed(uint32_t value);
    void Feed(const char* bytes, unsigned length);
    uint32_t Sum() const { return sum; }

private:
    uint16_t r = 55665;
    uint16_t c1 = 52845;
    uint16_t c2 = 22719;
    uint32_t sum = 0;
};

// The check value a block must carry: the id, then the remarks up to (not including) the NUL.
uint32_t StampCheckValue(uint32_t affiliateId, const char* remarks);

// Finds the first occurrence of pattern in data and returns a pointer to it, or null.
// *offset (if offset is not null) receives where the search stopped: the index of the match,
// or, when there is none, the first index that was never tried, i.e.
// dataLength - patternLength + 1, and 0 when data is shorter than the pattern.
// An empty pattern is never found (null, *offset = 0): there is nothing to look for, and a
// match at a null data pointer could not be told apart from "not found".
// Never reads outside data[0, dataLength) or pattern[0, patternLength).
const char* FindBytes(const char* data, unsigned dataLength, const char* pattern,
                      unsigned patternLength, int* offset);

// A file name as the system's file calls take it: UTF-16 on Windows, so that a folder with any
// characters in its name works; bytes elsewhere.
#ifdef _WIN32
using PathChar = wchar_t;
#else
using PathChar = char;
#endif

// Reads the stamp from a file, the way the installer reads its own .exe.
class StampedBlock {
public:
    virtual ~StampedBlock() = default;

    // Looks for the first valid block in file order. On success stores the affiliate id and
    // copies the remarks with their NUL into remarks (a buffer of at least kStampRemarksSize
    // chars; the bytes after the NUL are left alone) and returns true. Returns false, leaving
    // both outputs untouched, when the file cannot be opened or read, is larger than INT_MAX
    // bytes, holds no valid block, or memory runs out. Throws nothing.
    // The first `skip` bytes of the file are neither read nor searched: a program that looks for
    // its own stamp passes the size of its image, which the system has read already and which
    // never holds the stamp (the stamping tool writes it after the image). Only blocks whose
    // marker starts at or after `skip` count.
    bool ReadStamp(const PathChar* path, unsigned* affiliateId, char* remarks, uint32_t skip = 0);
};
