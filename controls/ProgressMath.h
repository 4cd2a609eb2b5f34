#pragma once
// The arithmetic and text of the status display, kept free of window code so that it also
// builds natively (sanitizers, fuzzers).
#include <cstddef>
#include <cstdint>
#include <string>

// A colour member holding this value stands for the matching system colour (the value of
// CLR_DEFAULT).
constexpr std::uint32_t PPB_DEFAULT_COLOR = 0xFF000000u;

// Both of these take the share of the range that position has reached, (position - lower) /
// (upper - lower), exactly: in 64-bit integers, truncated toward zero. In floating point 29 of
// 0..100 would come out as 28% (0.29 x 100 = 28.999...), and the 32-bit build's x87 registers
// would turn 37 into 36. The range must not be empty (lower < upper); positions outside it give
// values below 0 or above 100% / extent.

// The percentage: 1 of 0..3 is 33, 2 of 0..3 is 66, -1 of 0..3 is -33. Held at the limits of int.
int ProgressPercentage(int position, int lower, int upper);

// The filled part of an extent of pixels: 37 of 0..100 fills 165 of 448 (165.76).
int FilledLength(int extent, int position, int lower, int upper);

// The share of a download's bytes received, in whole percent truncated toward zero, exactly for
// any 64-bit counts (a setup program may be larger than 4 GiB, and received x 100 no longer fits
// in 64 bits past 184 PB): 0 when nothing is known of the total, 100 once received reaches it.
int DownloadPercentage(std::uint64_t received, std::uint64_t total);

// position + delta for PBM_STEPIT and PBM_DELTAPOS: not wrapped or clamped to the range, but held
// at the limits of int where the sum would overflow.
int MovedPosition(int position, int delta);

// The line the bar shows: the percentage alone for an empty caption, else the caption followed by
// a blank and the percentage, or the caption alone when percentAfterCaption is false.
std::string ProgressText(const std::string& caption, bool percentAfterCaption, int percentage);

// The colour to paint with: `color`, or systemColor when color is PPB_DEFAULT_COLOR.
std::uint32_t ResolveColor(std::uint32_t color, std::uint32_t systemColor);

// Tells whether a byte starts a double-byte character in some code page.
using LeadBytePredicate = bool (*)(unsigned char byte);

// The longest prefix of text[0, length) of at most maxBytes bytes that ends on a character
// boundary. Characters are found by walking from the start, since a trail byte can have the
// value of a lead byte. A lead byte in the last position (no trail byte) counts as one character.
std::size_t TruncateMultiByte(const char* text, std::size_t length, std::size_t maxBytes,
                              LeadBytePredicate isLeadByte);
