// The program's one polling wait: bounded, and never deaf to what other threads send.
#include "services/PollingWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(PollingWait, EndsOnceDoneOrWhenTheTimeIsUp) {
    struct Case {
        const char* what;
        bool done;
        DWORD ms;
        bool result;
        DWORD atLeast, below;
    } cases[] = {
        {"already done: at once", true, 1000, true, 0, 200},
        {"never done: the whole time", false, 120, false, 120, 1000},
        {"no time at all", false, 0, false, 0, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const DWORD start = GetTickCount();
        EXPECT_EQ(WaitUntil([&] { return c.done; }, c.ms), c.result);
        const DWORD spent = GetTickCount() - start;
        EXPECT_GE(spent + 16, c.atLeast);  // the tick counter's resolution
        EXPECT_LT(spent, c.below);
    }
}

// A thread that sends to a window of the waiting thread, as setup programs broadcast, is served
// during the wait and so can say it is done: a wait that only slept would hold both up until
// its time is up.
TEST(PollingWait, ServesWhatOtherThreadsSendMeanwhile) {
    HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        // Bounded, so that a wait that does not serve it fails instead of hanging.
        DWORD_PTR result = 0;
        SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 3000, &result);
        sent = true;
    });
    const DWORD start = GetTickCount();
    EXPECT_TRUE(WaitUntil([&] { return sent.load(); }, 5000));
    EXPECT_LT(GetTickCount() - start, 2000u);
    sender.join();
    DestroyWindow(window);
}

}  // namespace
