#pragma once
// A worker's news for the window's thread, posted at most once until it is read. Free of window
// code, so that it is tested natively (ThreadSanitizer).
#include <atomic>
#include <cstdint>

// The worker changes what the reader will read, then calls Raise and posts a message only when
// Raise says so; the reader calls Take when the message arrives, before it reads. News that
// comes after a Take is posted again, so the last change is always read, and a fast worker
// never has more than one message waiting.
class PostedNews {
public:
    // On the worker: true when a message must be posted.
    bool Raise() { return !pending.exchange(true); }
    // On the worker, for news that can wait a moment: news of the same kind as the last, less
    // than `intervalMs` after it, is not posted but read with the next news. Waking the reader
    // for every small step costs a fast download much of its speed (under Wine each message is a
    // round trip to the server and a thread switch). A new kind always goes, so news that ends
    // something (a new status, the end) is never held back.
    bool RaiseAtMostEvery(uint32_t intervalMs, int kind, uint32_t now) {
        if (kind == lastKind && now - lastAt < intervalMs) return false;
        lastKind = kind;
        lastAt = now;
        return Raise();
    }
    // On the reader, before it reads.
    void Take() { pending = false; }

private:
    std::atomic<bool> pending{false};
    // The worker's own: what it last raised, and when.
    int lastKind = -1;
    uint32_t lastAt = 0;
};
