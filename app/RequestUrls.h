#pragma once
// The two requests the installer makes of its server, kept free of window code.
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
