#pragma once
// The installer's one word to its server on how the run ended (the result request): sent once,
// never tried again, and given about 2 s in all, so that nothing the user sees or the registry
// holds ever waits longer on it or depends on its answer. An older server's 404 is as good as
// any other answer.
#include "services/Downloader.h"

#include <string>

class RunReport {
public:
    static constexpr DWORD kBoundMs = 2000;

    RunReport() = default;
    // Ends the process when the request is still under way: its worker would otherwise go on
    // using a destroyed object.
    ~RunReport();
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // Starts the request; the first call only.
    void Send(const std::string& url);
    // Waits until the answer is in, or the bound since Send is up; at once without a request.
    void Finish();

private:
    Downloader sender;
    DWORD sentAt = 0;
    bool sent = false;
};
