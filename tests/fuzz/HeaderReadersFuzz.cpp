// Arbitrary bytes as a picture's header and as the text of Content-Length and Content-Range:
// the readers stay inside the bytes they are given (AddressSanitizer, UBSan), and what they
// accept holds what they promise.
#include "controls/PictureHeader.h"
#include "services/HttpHeaders.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that a read past the end is caught.
    std::vector<unsigned char> bytes(data, data + size);
    uint32_t width = 0, height = 0;
    if (ReadPictureSize(bytes.data(), bytes.size(), &width, &height) && (width == 0 || height == 0)) std::abort();
    PictureMayBeDecoded(bytes.data(), bytes.size());

    std::string text(reinterpret_cast<const char*>(data), size);
    uint32_t length = 0;
    if (ParseContentLength(text, &length) && std::to_string(length).size() > text.size()) std::abort();
    ByteRange range;
    if (ParseContentRange(text, &range) && !(range.first <= range.last && range.last < range.total)) std::abort();
    return 0;
}
