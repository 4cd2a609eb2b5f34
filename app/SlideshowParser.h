#pragma once
// The slideshow's window-free parts: the reader of the description the server sends, the display
// time of a slide, and the slot that carries downloaded bytes from a download worker to the
// window's thread.
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

// One picture of the slideshow and how long it stays, in whole seconds.
struct BackgroundSlide {
    std::string url;  // may be empty: the description ended before it
    int32_t seconds = 0;
};

// Reads a slideshow description: white-space separated tokens taken as key and value pairs; a
// "bk_image" key with a value reads one more token, the picture's URL, and gives one slide whose
// seconds are the value's leading number. Any other key skips exactly one token. The text ends
// at its first NUL byte.
std::list<BackgroundSlide> ParseSlideshow(const std::string& text);

// An optional sign and the leading decimal digits of `text`, 0 when there are none. A number
// beyond the range of int32_t is held at its limit (as the Windows runtime's atoi does),
// instead of the undefined result of an overflow.
int32_t LeadingInteger(const std::string& text);

// The display time handed to SetTimer: seconds x 1000 in unsigned 32-bit arithmetic, so that a
// negative or huge number of seconds wraps instead of overflowing.
uint32_t DisplayMilliseconds(int32_t seconds);

// One block of bytes on its way from a download worker to the window's thread. The worker puts
// it and then posts a message; the window's thread takes it when the message arrives. A block
// that nobody takes (the window went before its message was handled, or the message could not
// be posted) is freed by the next Put or with the slot, so bytes in flight are never lost to a
// leak nor used after they are freed. Lock-free: one exchange on each side.
class ByteHandOver {
public:
    ByteHandOver() = default;
    ~ByteHandOver() { delete pending.exchange(nullptr); }
    ByteHandOver(const ByteHandOver&) = delete;
    ByteHandOver& operator=(const ByteHandOver&) = delete;

    // Replaces a block not yet taken. False, with nothing stored, when no memory was left for it.
    bool Put(std::string bytes);
    // Moves the block into `bytes`; false when there is none.
    bool Take(std::string& bytes);

private:
    std::atomic<std::string*> pending{nullptr};
};
