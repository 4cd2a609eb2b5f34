#include "services/StampedBlock.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

// 16 x 8 = 128 non-NUL remarks bytes after an id of 0xFFFFFFFF: see the header.
const char kStampMarker[kStampMarkerLength + kStampRemarksOffset + kStampRemarksSize + 1] =
    "QuorvantisSignatureMarker"
    "\xff\xff\xff\xff"
    "<not a stamp>..." "<not a stamp>..." "<not a stamp>..." "<not a stamp>..."
    "<not a stamp>..." "<not a stamp>..." "<not a stamp>..." "<not a stamp>...";

uint32_t StampChecksum::Step(unsigned char p) {
    const unsigned char c = static_cast<unsigned char>(p ^ (r >> 8));
    // In unsigned 32-bit arithmetic: the product overflows int.
    r = static_cast<uint16_t>((uint32_t{c} + r) * c1 + c2);
    sum += c;
    return sum;
}

void StampChecksum::Seed(uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) Step(static_cast<unsigned char>(value >> shift));
}

void StampChecksum::Feed(const char* bytes, unsigned length) {
    for (unsigned i = 0; i < length; ++i) Step(static_cast<unsigned char>(bytes[i]));
}

uint32_t StampCheckValue(uint32_t affiliateId, const char* remarks) {
    StampChecksum checksum;
    checksum.Seed(affiliateId);
    checksum.Feed(remarks, static_cast<unsigned>(std::strlen(remarks)));
    return checksum.Sum();
}

const char* FindBytes(const char* data, unsigned dataLength, const char* pattern,
                      unsigned patternLength, int* offset) {
    unsigned at = 0;
    const char* found = nullptr;
    if (patternLength != 0 && dataLength >= patternLength) {
        const unsigned last = dataLength - patternLength;
        for (; at <= last; ++at) {
            if (data[at] == pattern[0] && std::memcmp(data + at, pattern, patternLength) == 0) {
                found = data + at;
                break;
            }
        }
    }
    if (offset) *offset = static_cast<int>(at);
    return found;
}

namespace {

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, CloseFile>;

std::FILE* OpenForReading(const PathChar* path) {
#ifdef _WIN32
    return _wfopen(path, L"rb");
#else
    return std::fopen(path, "rb");
#endif
}

uint32_t ReadLittleEndian32(const char* bytes) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// Reads up to capacity bytes from the start of file in one call (the runtime splits it as the
// system likes): the stamp is read before the first request, so the file costs one pass, not
// one call per small piece. Returns how many arrived. A read error ends the file early: any
// block wholly inside the part read is still found, and first in file order among what was
// read is first in the whole file.
unsigned ReadInto(std::FILE* file, char* buffer, unsigned capacity) {
    return capacity ? static_cast<unsigned>(std::fread(buffer, 1, capacity, file)) : 0;
}

}  // namespace

bool StampedBlock::ReadStamp(const PathChar* path, unsigned* affiliateId, char* remarks, uint32_t skip) {
    unsigned used = 0;
    std::unique_ptr<char[]> buffer;
    {
        UniqueFile file(OpenForReading(path));
        if (!file) return false;
        struct stat info;
        if (fstat(fileno(file.get()), &info) != 0) return false;
        // Offsets into the buffer are ints; no installer comes near this size.
        if (info.st_size < 0 || static_cast<unsigned long long>(info.st_size) > INT_MAX) return false;
        if (static_cast<unsigned long long>(info.st_size) <= skip) return false;
        if (skip != 0 && std::fseek(file.get(), static_cast<long>(skip), SEEK_SET) != 0) return false;
        const unsigned size = static_cast<unsigned>(info.st_size) - skip;
        buffer.reset(new (std::nothrow) char[size]);
        if (!buffer) return false;
        used = ReadInto(file.get(), buffer.get(), size);
    }

    const char* data = buffer.get();
    unsigned from = 0;
    int offset = 0;
    while (FindBytes(data + from, used - from, kStampMarker, kStampMarkerLength, &offset)) {
        const unsigned at = from + static_cast<unsigned>(offset);
        from = at + 1;
        const unsigned blockAt = at + kStampMarkerLength;
        if (used - blockAt < kStampBlockLength) continue;
        const char* block = data + blockAt;
        const char* text = block + kStampRemarksOffset;
        const void* nul = std::memchr(text, '\0', kStampRemarksSize);
        if (!nul) continue;
        const uint32_t id = ReadLittleEndian32(block + kStampIdOffset);
        if (StampCheckValue(id, text) != ReadLittleEndian32(block + kStampCheckOffset)) continue;
        *affiliateId = id;
        std::memcpy(remarks, text, static_cast<const char*>(nul) - text + 1);
        return true;
    }
    return false;
}
