// The worker-to-window news flag: on two real threads the reader always ends up reading the
// worker's last change and never has more than one message waiting; news that can wait is
// posted at most once an interval, and a new kind of news is never held back.
#include "app/PostedNews.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// A window's message queue, as far as the test needs one.
class Queue {
public:
    void Post() {
        std::lock_guard<std::mutex> lock(mutex);
        ++waiting;
        if (waiting > mostWaiting) mostWaiting = waiting;
        changed.notify_one();
    }
    // False once `done` holds and nothing waits.
    template <typename Done>
    bool Wait(Done done) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return waiting > 0 || done(); });
        if (waiting == 0) return false;
        --waiting;
        return true;
    }
    void Wake() {
        std::lock_guard<std::mutex> lock(mutex);
        changed.notify_one();
    }
    int mostWaiting = 0;

private:
    std::mutex mutex;
    std::condition_variable changed;
    int waiting = 0;
};

TEST(PostedNews, TheLastChangeIsAlwaysReadWithOneMessageWaitingAtMost) {
    constexpr unsigned kChanges = 200000;
    PostedNews news;
    Queue queue;
    std::atomic<unsigned> state{0};
    std::atomic<bool> finished{false};
    std::atomic<unsigned> posts{0};
    std::thread worker([&] {
        for (unsigned value = 1; value <= kChanges; ++value) {
            state = value;
            if (news.Raise()) {
                ++posts;
                queue.Post();
            }
        }
        finished = true;
        queue.Wake();
    });
    unsigned lastRead = 0, reads = 0;
    while (queue.Wait([&] { return finished.load(); })) {
        news.Take();
        unsigned value = state;
        EXPECT_GE(value, lastRead) << "read an older state after a newer one";
        lastRead = value;
        ++reads;
    }
    worker.join();
    EXPECT_EQ(lastRead, kChanges) << "the last change was never read";
    EXPECT_EQ(reads, posts.load());
    EXPECT_EQ(queue.mostWaiting, 1);
}

TEST(PostedNews, NewsThatCanWaitIsPostedAtMostOnceAnInterval) {
    enum Kind { Progress, Done };
    struct Step {
        const char* what;
        int kind;
        uint32_t now;
        bool take;  // the reader took the last message before this news
        bool posted;
    };
    const Step steps[] = {
        {"the first news", Progress, 1000, false, true},
        {"the same kind within the interval", Progress, 1015, true, false},
        {"the same kind once the interval is over", Progress, 1016, false, true},
        {"a message still waits: nothing more to post", Progress, 1040, false, false},
        {"a new kind at once, after a Take", Done, 1041, true, true},
        {"the same kind across the clock's wrap", Progress, 0xFFFFFFF8u, true, true},
        {"within the interval across the wrap", Progress, 6, true, false},
        {"after the interval across the wrap", Progress, 8, false, true},
    };
    PostedNews news;
    for (const Step& step : steps) {
        if (step.take) news.Take();
        EXPECT_EQ(news.RaiseAtMostEvery(16, step.kind, step.now), step.posted) << step.what;
    }
}

}  // namespace
