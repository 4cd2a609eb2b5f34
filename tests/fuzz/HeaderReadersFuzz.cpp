// Arbitrary bytes as a picture's header and as the text of Content-Length and Content-Range:
// the readers stay inside the bytes they are given (AddressSanitizer, UBSan), and what they
// accept holds what they promise. A Content-Length is read a second time, plainly, by comparing
// its digits as text with the largest 64-bit number: the two readings must agree on what is a
// length and on its value, also where the reader's arithmetic would overflow.
#include "controls/PictureHeader.h"
#include "services/HttpHeaders.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
// The length that `text` declares, read without arithmetic that could overflow; false when it
// declares none that fits in 64 bits.
bool PlainLength(const std::string& text, uint64_t* length) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const size_t first = text.find_first_not_of('0');
    const std::string digits = first == std::string::npos ? "0" : text.substr(first);
    static const std::string kLargest = "18446744073709551615";
    if (digits.size() > kLargest.size() || (digits.size() == kLargest.size() && digits > kLargest)) return false;
    *length = std::strtoull(digits.c_str(), nullptr, 10);
    return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that a read past the end is caught.
    std::vector<unsigned char> bytes(data, data + size);
    uint32_t width = 0, height = 0;
    if (ReadPictureSize(bytes.data(), bytes.size(), &width, &height) && (width == 0 || height == 0)) std::abort();
    PictureMayBeDecoded(bytes.data(), bytes.size());

    std::string text(reinterpret_cast<const char*>(data), size);
    uint64_t length = 0, plain = 0;
    const bool read = ParseContentLength(text, &length);
    if (read != PlainLength(text, &plain) || (read && length != plain)) std::abort();
    ByteRange range;
    if (ParseContentRange(text, &range) && !(range.first <= range.last && range.last < range.total)) std::abort();
    return 0;
}
