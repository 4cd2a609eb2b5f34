#pragma once
// Who answers a proxy that asks for the user's name and password, for a download's worker.
#include <windows.h>
#include <wininet.h>

class ProxyPrompt {
public:
    enum class Answer {
        Retry,    // send the request again: it carries the credentials now
        Refused,  // nobody gave them: the download fails
    };
    // How many answers have been given so far; read before a request goes out.
    virtual unsigned Answers() const = 0;
    // Called on a download's worker, which waits for the answer, for a request that the proxy
    // refused after WinINet's own attempt. `seen` is what Answers() read when the request went
    // out, and is brought up to date: when the credentials were entered since then (for another
    // request of the run), the request is simply sent again without asking.
    virtual Answer Ask(HINTERNET request, unsigned& seen) = 0;

protected:
    ~ProxyPrompt() = default;
};
