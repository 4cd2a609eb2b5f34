#include "app/ProxyCredentials.h"

#include "services/SystemDlls.h"

namespace {
class ExclusiveScope {
public:
    explicit ExclusiveScope(SRWLOCK& lock) : lock(lock) { AcquireSRWLockExclusive(&lock); }
    ~ExclusiveScope() { ReleaseSRWLockExclusive(&lock); }
    ExclusiveScope(const ExclusiveScope&) = delete;
    ExclusiveScope& operator=(const ExclusiveScope&) = delete;

private:
    SRWLOCK& lock;
};
}  // namespace

ProxyPrompt::Answer ProxyCredentials::Ask(HINTERNET request, unsigned& seen) {
    ExclusiveScope myTurn(turn);
    if (seen != answers) {
        seen = answers;
        return Answer::Retry;
    }
    if (refused || !answered) return Answer::Refused;
    HWND target;
    {
        ExclusiveScope guard(state);
        if (closed) return Answer::Refused;
        waiting = request;
        target = owner;
    }
    // Without a window yet, ShowTo posts the message once there is one.
    if (target) PostMessageA(target, WM_PROXY_CREDENTIALS, 0, 0);
    WaitForSingleObject(answered.get(), INFINITE);
    DWORD answer;
    {
        ExclusiveScope guard(state);
        answer = result;
    }
    ++dialogs;
    if (answer != ERROR_INTERNET_FORCE_RETRY || dialogs >= kMaxDialogs) refused = true;
    if (answer != ERROR_INTERNET_FORCE_RETRY) return Answer::Refused;
    seen = ++answers;
    return Answer::Retry;
}

bool ProxyCredentials::Asking() {
    ExclusiveScope guard(state);
    return waiting != nullptr;
}

void ProxyCredentials::ShowTo(HWND newOwner) {
    bool asked;
    {
        ExclusiveScope guard(state);
        owner = newOwner;
        asked = waiting != nullptr;
    }
    if (asked) PostMessageA(newOwner, WM_PROXY_CREDENTIALS, 0, 0);
}

void ProxyCredentials::OnAsked() {
    HINTERNET request;
    HWND parent;
    {
        ExclusiveScope guard(state);
        request = waiting;
        parent = owner;
    }
    if (!request || !parent) return;
    // The dialog puts what the user entered on the request (and WinINet keeps it for the
    // session), and says whether to send the request again.
    const DWORD answer = WinInet()->InternetErrorDlg(
        parent, request, ERROR_INTERNET_INCORRECT_PASSWORD,
        FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
        nullptr);
    {
        ExclusiveScope guard(state);
        // Closed meanwhile: the worker already has its answer.
        if (waiting != request) return;
        waiting = nullptr;
        result = answer;
    }
    SetEvent(answered.get());
}

void ProxyCredentials::Close() noexcept {
    bool asked;
    {
        ExclusiveScope guard(state);
        closed = true;
        owner = nullptr;
        asked = waiting != nullptr;
        waiting = nullptr;
        result = ERROR_CANCELLED;
    }
    if (asked) SetEvent(answered.get());
}
