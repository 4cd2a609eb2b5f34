#pragma once
// The requests the installer makes of its server, kept free of window code: the setup program,
// the slideshow description, and at the end a report of how the run ended.
#include <string>

struct RequestValues {
    // "host[:port]" (http), or with its scheme: "http://host[:port]" or "https://host[:port]".
    std::string host;
    unsigned affiliateId;
    int skinId;
    std::string language;
    std::string remarks;
};

// Percent-encodes every byte but the unreserved A-Z a-z 0-9 - . _ ~, so that a server decodes
// exactly the text that was stamped.
std::string PercentEncode(const std::string& text);

std::string SetupRequestUrl(const RequestValues& values);
std::string SlideshowRequestUrl(const RequestValues& values);

// How a run ended, as the installer reports it to its server once.
struct RunResult {
    enum class Outcome { Installed, Failed, Cancelled };
    Outcome outcome;
    // Installed: the setup program's exit code.
    unsigned long exitCode = 0;
    // Failed: the name of the failure's reason (letters and '-').
    const char* reason = "";
    // How long the download took, until it completed, failed or was cancelled.
    unsigned long seconds = 0;
};

std::string ResultRequestUrl(const RequestValues& values, const RunResult& result);
