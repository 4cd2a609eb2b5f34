#pragma once
// Asks the user for the credentials a proxy wants, with the system's own dialog for the refused
// request, owned by the installer's window. A download's worker asks and waits; the window's
// thread shows the dialog when the worker's message arrives, and never waits for a worker. The
// setup program's request goes out before the window exists: an ask that comes before it waits
// until the window is there to own the dialog.
//
// One ask at a time: workers that ask meanwhile wait their turn, and send their request again
// without asking when the credentials were entered in the meantime. The dialog is shown at most
// three times a run (a wrong password asks again); once it was cancelled, or shown for the third
// time in vain, every later ask is refused without a dialog. The credentials go from the dialog
// to WinINet, which sends them to the proxy only; this program never sees them.
#include "framework/Handles.h"
#include "services/ProxyPrompt.h"

#include <windows.h>

#include <atomic>

class ProxyCredentials : public ProxyPrompt {
public:
    // Posted to the owner when an ask waits for the dialog (wParam, lParam 0).
    static constexpr UINT WM_PROXY_CREDENTIALS = WM_APP + 5;
    static constexpr unsigned kMaxDialogs = 3;

    ProxyCredentials() = default;
    ProxyCredentials(const ProxyCredentials&) = delete;
    ProxyCredentials& operator=(const ProxyCredentials&) = delete;
    ~ProxyCredentials() { Close(); }

    unsigned Answers() const override { return answers; }
    Answer Ask(HINTERNET request, unsigned& seen) override;

    // True while an ask waits for the dialog's answer.
    bool Asking();

    // On the window's thread. From now on dialogs are owned by `owner`; an ask waiting for a
    // window is shown now.
    void ShowTo(HWND owner);
    // For WM_PROXY_CREDENTIALS: shows the dialog for the waiting ask and hands on its answer.
    void OnAsked();
    // No window any more (or never one): the waiting ask, and every later one, is refused.
    void Close() noexcept;

private:
    // Taken by a worker for the whole of its ask.
    SRWLOCK turn = SRWLOCK_INIT;
    // Guards what follows, between the asking worker and the window's thread.
    SRWLOCK state = SRWLOCK_INIT;
    HWND owner = nullptr;
    HINTERNET waiting = nullptr;
    bool closed = false;
    DWORD result = 0;
    UniqueHandle answered{CreateEventW(nullptr, FALSE, FALSE, nullptr)};

    // The asking worker's own.
    unsigned dialogs = 0;
    bool refused = false;
    std::atomic<unsigned> answers{0};
};
