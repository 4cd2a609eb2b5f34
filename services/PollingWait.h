#pragma once
// The one way this program waits for something that no handle signals: it looks again every
// few milliseconds until the thing is done or the time is up.
#include <windows.h>

constexpr DWORD kPollMs = 10;

// True once `done()` holds; false when `ms` have passed first. Meanwhile the messages that other
// threads send to this thread's windows are served (a window's thread must never stop answering
// them: setup programs and the system broadcast with SendMessage); input stays queued.
template <typename Done>
bool WaitUntil(Done done, DWORD ms) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= ms) return false;
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kPollMs, QS_SENDMESSAGE);
    }
    return true;
}
