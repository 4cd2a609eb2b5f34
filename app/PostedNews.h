#pragma once
// A worker's news for the window's thread, posted at most once until it is read. Free of window
// code, so that it is tested natively (ThreadSanitizer).
#include <atomic>

// The worker changes what the reader will read, then calls Raise and posts a message only when
// Raise says so; the reader calls Take when the message arrives, before it reads. News that
// comes after a Take is posted again, so the last change is always read, and a fast worker
// never has more than one message waiting.
class PostedNews {
public:
    // On the worker: true when a message must be posted.
    bool Raise() { return !pending.exchange(true); }
    // On the reader, before it reads.
    void Take() { pending = false; }

private:
    std::atomic<bool> pending{false};
};
