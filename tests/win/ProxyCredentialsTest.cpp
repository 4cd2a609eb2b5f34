// The proxy credentials ask between a download's worker and the window's thread: an ask reaches
// the window exactly once whether it came before or after the window, a window that goes
// releases a waiting worker, and a refused ask is never put to the user again. The request is a
// real one that was never sent: the system's dialog then has no challenge to show and answers at
// once, as a dismissed dialog would, so no test here waits for a person.
#include "app/ProxyCredentials.h"
#include "services/PollingWait.h"
#include "services/SystemDlls.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

class UnsentRequest {
public:
    UnsentRequest() {
        session.reset(WinInet()->InternetOpenA("test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
        connection.reset(WinInet()->InternetConnectA(session.get(), "127.0.0.1", 9, nullptr, nullptr,
                                                     INTERNET_SERVICE_HTTP, 0, 0));
        request.reset(WinInet()->HttpOpenRequestA(connection.get(), "GET", "/", nullptr, nullptr, nullptr, 0, 0));
    }
    HINTERNET Get() const { return request.get(); }

private:
    UniqueInternet session, connection, request;
};

// A worker that asks once and records the answer.
struct Asker {
    ProxyCredentials* prompt;
    HINTERNET request;
    unsigned seen = 0;
    std::atomic<int> answer{-1};

    static DWORD WINAPI Main(void* parameter) {
        auto* self = static_cast<Asker*>(parameter);
        self->answer = static_cast<int>(self->prompt->Ask(self->request, self->seen));
        return 0;
    }
    UniqueHandle Start() { return UniqueHandle(CreateThread(nullptr, 0, Main, this, 0, nullptr)); }
};

// A message-only window standing in for the installer's.
class Owner {
public:
    Owner() : window(CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)) {}
    ~Owner() { DestroyWindow(window); }
    HWND Get() const { return window; }
    // Serves the asks that arrive until `worker` ends (at most 10 s); how many arrived.
    int ServeUntilEnded(ProxyCredentials& prompt, HANDLE worker) {
        int asks = 0;
        for (DWORD start = GetTickCount(); GetTickCount() - start < 10000;) {
            if (MsgWaitForMultipleObjects(1, &worker, FALSE, 100, QS_POSTMESSAGE) == WAIT_OBJECT_0) break;
            asks += TakeAsks(prompt);
        }
        return asks + TakeAsks(prompt);
    }
    int TakeAsks(ProxyCredentials& prompt) {
        int asks = 0;
        MSG message;
        while (PeekMessageA(&message, window, ProxyCredentials::WM_PROXY_CREDENTIALS,
                            ProxyCredentials::WM_PROXY_CREDENTIALS, PM_REMOVE)) {
            ++asks;
            prompt.OnAsked();
        }
        return asks;
    }

private:
    HWND window;
};

TEST(ProxyCredentials, AnAskReachesTheWindowOnceWhetherItCameBeforeOrAfterIt) {
    ASSERT_NE(WinInet(), nullptr);
    for (bool windowFirst : {false, true}) {
        SCOPED_TRACE(windowFirst ? "window first" : "ask first");
        UnsentRequest request;
        ASSERT_NE(request.Get(), nullptr);
        ProxyCredentials prompt;
        Owner owner;
        Asker asker{&prompt, request.Get()};
        if (windowFirst) prompt.ShowTo(owner.Get());
        UniqueHandle worker = asker.Start();
        ASSERT_TRUE(worker);
        if (!windowFirst) {
            ASSERT_TRUE(WaitUntil([&prompt] { return prompt.Asking(); }, 10000));
            EXPECT_EQ(owner.TakeAsks(prompt), 0);
            prompt.ShowTo(owner.Get());
        }
        EXPECT_EQ(owner.ServeUntilEnded(prompt, worker.get()), 1);
        ASSERT_EQ(WaitForSingleObject(worker.get(), 0), WAIT_OBJECT_0);
        // Nothing was entered: the download is refused, and nobody is asked again.
        EXPECT_EQ(asker.answer, static_cast<int>(ProxyPrompt::Answer::Refused));
        EXPECT_EQ(prompt.Answers(), 0u);
        Asker later{&prompt, request.Get()};
        UniqueHandle second = later.Start();
        ASSERT_EQ(WaitForSingleObject(second.get(), 10000), WAIT_OBJECT_0);
        EXPECT_EQ(later.answer, static_cast<int>(ProxyPrompt::Answer::Refused));
        EXPECT_EQ(owner.TakeAsks(prompt), 0);
    }
}

TEST(ProxyCredentials, AWindowThatGoesReleasesTheWaitingWorkerAndRefusesLaterAsks) {
    ASSERT_NE(WinInet(), nullptr);
    UnsentRequest request;
    ASSERT_NE(request.Get(), nullptr);
    ProxyCredentials prompt;
    // No window yet: the ask waits until the prompt is closed.
    Asker asker{&prompt, request.Get()};
    UniqueHandle worker = asker.Start();
    ASSERT_TRUE(worker);
    ASSERT_TRUE(WaitUntil([&prompt] { return prompt.Asking(); }, 10000));
    prompt.Close();
    ASSERT_EQ(WaitForSingleObject(worker.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(asker.answer, static_cast<int>(ProxyPrompt::Answer::Refused));

    Owner owner;
    prompt.ShowTo(owner.Get());
    Asker later{&prompt, request.Get()};
    UniqueHandle second = later.Start();
    ASSERT_EQ(WaitForSingleObject(second.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(later.answer, static_cast<int>(ProxyPrompt::Answer::Refused));
    EXPECT_EQ(owner.TakeAsks(prompt), 0);
}

}  // namespace
