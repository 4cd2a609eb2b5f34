// The worker-to-window hand-over of downloaded bytes, without windows.
#include "app/ByteHandOver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

TEST(ByteHandOver, GivesTheNewestBlockOnceAndFreesWhatIsNotTaken) {
    std::string taken = "untouched";
    {
        ByteHandOver handOver;
        EXPECT_FALSE(handOver.Take(taken));
        EXPECT_EQ(taken, "untouched");

        const std::string picture("\xff\xd8\0\0\xff\xd9", 6);
        ASSERT_TRUE(handOver.Put(picture));
        ASSERT_TRUE(handOver.Take(taken));
        EXPECT_EQ(taken, picture);
        EXPECT_FALSE(handOver.Take(taken));

        // A block whose message never arrived is replaced (the leak check sees it freed).
        ASSERT_TRUE(handOver.Put(std::string(100000, 'a')));
        ASSERT_TRUE(handOver.Put("newer"));
        ASSERT_TRUE(handOver.Take(taken));
        EXPECT_EQ(taken, "newer");

        // Left for the destructor, as when the window is gone before its message is handled.
        ASSERT_TRUE(handOver.Put(std::string(100000, 'b')));
    }
}

// One thread puts while another takes, as the worker and the window's thread do: every block
// arrives whole and in order, or is dropped for a newer one, and the last one always arrives.
// AddressSanitizer sees any block freed twice or read after it was freed.
TEST(ByteHandOver, PutAndTakeOnTwoThreads) {
    ByteHandOver handOver;
    constexpr int kBlocks = 20000;
    auto block = [](int i) { return std::to_string(i) + std::string(static_cast<size_t>(i % 97), '.'); };
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 1; i <= kBlocks; ++i) handOver.Put(block(i));
        done = true;
    });
    int last = 0;
    std::string bytes;
    auto check = [&] {
        int i = std::stoi(bytes);
        EXPECT_GT(i, last);
        EXPECT_EQ(bytes, block(i));
        last = i;
    };
    while (!done)
        if (handOver.Take(bytes)) check();
    worker.join();
    while (handOver.Take(bytes)) check();
    EXPECT_EQ(last, kBlocks);
}

}  // namespace
