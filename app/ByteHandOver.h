#pragma once
// The slot that carries downloaded bytes from a download worker to the window's thread; free of
// window code, so that it also builds natively (sanitizers).
#include <atomic>
#include <string>

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
