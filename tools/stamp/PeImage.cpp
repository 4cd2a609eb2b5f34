#include "tools/stamp/PeImage.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

uint32_t Read16(const unsigned char* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8; }
uint32_t Read32(const unsigned char* p) { return Read16(p) | Read16(p + 2) << 16; }

constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kLfanewAt = 0x3C;
constexpr uint64_t kCoffHeaderSize = 20;
constexpr uint64_t kSectionHeaderSize = 40;
constexpr uint64_t kSymbolSize = 18;
constexpr uint32_t kMagicPe32 = 0x10B;
constexpr uint32_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kSecurityDirectory = 4;
// CheckSum's offset in the optional header, the same in PE32 and PE32+.
constexpr uint64_t kChecksumAt = 64;

PeImage Fail(const char* why) {
    PeImage image;
    image.error = why;
    return image;
}

// Where the COFF symbol table and the string table after it end, if the file holds them
// whole; 0 if it carries none. The loader never reads them, but cutting them off would break
// the section names and debugging of an unstripped build.
uint64_t SymbolTablesEnd(const unsigned char* data, uint64_t size, const unsigned char* coff) {
    const uint64_t symbols = Read32(coff + 8);
    if (symbols == 0) return 0;
    const uint64_t symbolsEnd = symbols + Read32(coff + 12) * kSymbolSize;
    if (symbolsEnd > size) return 0;
    if (symbolsEnd + 4 > size) return symbolsEnd;
    const uint64_t stringsEnd = symbolsEnd + Read32(data + symbolsEnd);
    return stringsEnd <= size ? std::max(stringsEnd, symbolsEnd + 4) : symbolsEnd;
}

}  // namespace

PeImage PeImage::Parse(const unsigned char* data, size_t dataSize) {
    const uint64_t size = dataSize;
    if (size < kDosHeaderSize || data[0] != 'M' || data[1] != 'Z')
        return Fail("not a Windows program: no MZ header");
    const uint64_t pe = Read32(data + kLfanewAt);
    if (pe + 4 + kCoffHeaderSize > size)
        return Fail("not a Windows program: the PE header offset points outside the file");
    if (std::memcmp(data + pe, "PE\0\0", 4) != 0)
        return Fail("not a Windows program: no PE signature");

    const unsigned char* coff = data + pe + 4;
    const uint64_t sectionCount = Read16(coff + 2);
    const uint64_t optionalSize = Read16(coff + 16);
    const uint64_t optionalAt = pe + 4 + kCoffHeaderSize;
    if (optionalAt + optionalSize > size)
        return Fail("damaged program: the optional header runs past the end of the file");
    if (optionalSize < 2) return Fail("not a Windows program: no optional header");

    const unsigned char* optional = data + optionalAt;
    const uint32_t magic = Read16(optional);
    if (magic != kMagicPe32 && magic != kMagicPe32Plus)
        return Fail("not a Windows program: the optional header is neither PE32 nor PE32+");
    // Where NumberOfRvaAndSizes sits; the data directories follow it.
    const uint64_t countAt = magic == kMagicPe32 ? 92 : 108;
    if (optionalSize < countAt + 4) return Fail("damaged program: the optional header is too short");
    const uint64_t directoriesAt = countAt + 4;
    const uint64_t directoryCount =
        std::min<uint64_t>(Read32(optional + countAt), (optionalSize - directoriesAt) / 8);

    const uint64_t sectionsAt = optionalAt + optionalSize;
    const uint64_t sectionsEnd = sectionsAt + sectionCount * kSectionHeaderSize;
    if (sectionsEnd > size) return Fail("damaged program: the section table runs past the end of the file");
    const uint64_t headersSize = Read32(optional + 60);
    if (headersSize > size) return Fail("damaged program: its headers run past the end of the file");

    uint64_t end = std::max(headersSize, sectionsEnd);
    for (uint64_t i = 0; i < sectionCount; ++i) {
        const unsigned char* section = data + sectionsAt + i * kSectionHeaderSize;
        const uint64_t rawSize = Read32(section + 16);
        if (rawSize == 0) continue;  // nothing in the file; its offset means nothing
        const uint64_t rawEnd = Read32(section + 20) + rawSize;
        if (rawEnd > size) return Fail("damaged program: section data runs past the end of the file (truncated?)");
        end = std::max(end, rawEnd);
    }
    end = std::max(end, SymbolTablesEnd(data, size, coff));

    PeImage image;
    image.imageEnd = static_cast<size_t>(end);
    image.checksumAt = static_cast<size_t>(optionalAt + kChecksumAt);
    image.checksum = Read32(optional + kChecksumAt);
    if (directoryCount > kSecurityDirectory) {
        image.securityDirectoryAt = static_cast<size_t>(optionalAt + directoriesAt + kSecurityDirectory * 8);
        const unsigned char* security = data + image.securityDirectoryAt;
        image.certificateTableAt = Read32(security);
        image.certificateTableSize = Read32(security + 4);
        image.hasCertificateTable = image.certificateTableAt != 0 || image.certificateTableSize != 0;
    }
    return image;
}
