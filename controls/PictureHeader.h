#pragma once
// The size a picture announces in its header, read without decoding it, and the bound past which
// a picture is not decoded at all. Window-free, so that it is tested natively and fuzzed.
#include <cstddef>
#include <cstdint>

// Width and height from the header of a JPEG (its first frame header), a GIF (its logical screen
// and its first image, whichever is larger) or a BMP. False for any other format, a header cut
// short, or a size of 0.
bool ReadPictureSize(const unsigned char* data, size_t size, uint32_t* width, uint32_t* height);

// The window is a few hundred pixels wide and never grows; a picture is drawn at its own size and
// cut at the window's edges. A picture wider or taller than any screen, or of more than
// 4 megapixels (16 MB once decoded), has nothing more to show there, and decoding it would cost
// the memory and the time of the window's thread that it announces.
constexpr uint32_t kMaxPictureSide = 4096;
constexpr uint64_t kMaxPicturePixels = 4u * 1024 * 1024;

// Whether the bytes announce a picture within the bound.
bool PictureMayBeDecoded(const void* data, size_t size);
