#include "controls/PictureHeader.h"

namespace {

uint32_t Big16(const unsigned char* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t Little16(const unsigned char* p) { return static_cast<uint32_t>(p[1]) << 8 | p[0]; }
uint32_t Little32(const unsigned char* p) {
    return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 |
           p[0];
}

// Walks the markers up to the first frame header; the scan may not come before it.
bool JpegSize(const unsigned char* data, size_t size, uint32_t* width, uint32_t* height) {
    size_t pos = 2;
    while (pos + 1 < size) {
        if (data[pos] != 0xFF) return false;
        unsigned char marker = data[pos + 1];
        if (marker == 0xFF) {  // fill byte
            ++pos;
            continue;
        }
        pos += 2;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (marker == 0xD9 || marker == 0xDA || pos + 2 > size) return false;
        size_t length = Big16(data + pos);
        if (length < 2) return false;
        bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 7 || pos + 7 > size) return false;
            *height = Big16(data + pos + 3);
            *width = Big16(data + pos + 5);
            return true;
        }
        pos += length;
    }
    return false;
}

bool GifSize(const unsigned char* data, size_t size, uint32_t* width, uint32_t* height) {
    if (size < 13) return false;
    uint32_t w = Little16(data + 6), h = Little16(data + 8);
    size_t pos = 13;
    if (data[10] & 0x80) pos += 3u << ((data[10] & 7) + 1);  // global colour table
    while (pos < size) {
        if (data[pos] == 0x2C) {  // the first image
            if (pos + 9 > size) return false;
            uint32_t right = Little16(data + pos + 1) + Little16(data + pos + 5);
            uint32_t bottom = Little16(data + pos + 3) + Little16(data + pos + 7);
            *width = w > right ? w : right;
            *height = h > bottom ? h : bottom;
            return true;
        }
        if (data[pos] != 0x21 || pos + 2 > size) return false;  // only extensions come before it
        pos += 2;
        while (pos < size && data[pos] != 0) pos += 1u + data[pos];  // its sub-blocks
        ++pos;
    }
    return false;
}

bool BmpSize(const unsigned char* data, size_t size, uint32_t* width, uint32_t* height) {
    if (size < 26) return false;
    uint32_t header = Little32(data + 14);
    if (header == 12) {
        *width = Little16(data + 18);
        *height = Little16(data + 20);
        return true;
    }
    if (header < 40 || size < 26) return false;
    auto w = static_cast<int32_t>(Little32(data + 18)), h = static_cast<int32_t>(Little32(data + 22));
    if (w <= 0 || h == INT32_MIN) return false;
    *width = static_cast<uint32_t>(w);
    *height = static_cast<uint32_t>(h < 0 ? -h : h);  // negative: stored top-down
    return true;
}

}  // namespace

bool ReadPictureSize(const unsigned char* data, size_t size, uint32_t* width, uint32_t* height) {
    if (!data || size < 4) return false;
    uint32_t w = 0, h = 0;
    bool read = false;
    if (data[0] == 0xFF && data[1] == 0xD8)
        read = JpegSize(data, size, &w, &h);
    else if (size >= 6 && data[0] == 'G' && data[1] == 'I' && data[2] == 'F')
        read = GifSize(data, size, &w, &h);
    else if (data[0] == 'B' && data[1] == 'M')
        read = BmpSize(data, size, &w, &h);
    if (!read || w == 0 || h == 0) return false;
    *width = w;
    *height = h;
    return true;
}

bool PictureMayBeDecoded(const void* data, size_t size) {
    uint32_t width = 0, height = 0;
    return ReadPictureSize(static_cast<const unsigned char*>(data), size, &width, &height) &&
           width <= kMaxPictureSide && height <= kMaxPictureSide &&
           uint64_t{width} * height <= kMaxPicturePixels;
}
