#include "app/RequestUrls.h"

namespace {
bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= text.size()) return false;
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

// The server is "https://host[:port]" when its publisher chose TLS, "http://host[:port]", or a
// bare host, which is http.
std::string ServerBase(const std::string& server) {
    std::string base = StartsWithNoCase(server, "https://") || StartsWithNoCase(server, "http://")
                           ? server
                           : "http://" + server;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

std::string RequestUrl(const char* action, const RequestValues& v) {
    // The affiliate id is unsigned: ids above 2147483647 are sent as they are stamped.
    return ServerBase(v.host) + "/index.new.php?action=" + action + "&affid=" + std::to_string(v.affiliateId) +
           "&skinid=" + std::to_string(v.skinId) + "&lang=" + PercentEncode(v.language) +
           "&remarks=" + PercentEncode(v.remarks);
}
}  // namespace

std::string PercentEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (IsUnreserved(c)) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0xF];
        }
    }
    return encoded;
}

std::string SetupRequestUrl(const RequestValues& values) { return RequestUrl("installer", values); }

std::string SlideshowRequestUrl(const RequestValues& values) { return RequestUrl("installer_images", values); }

std::string ResultRequestUrl(const RequestValues& values, const RunResult& result) {
    std::string url = RequestUrl("installer_result", values);
    switch (result.outcome) {
    case RunResult::Outcome::Installed:
        url += "&outcome=installed&exitcode=" + std::to_string(result.exitCode);
        break;
    case RunResult::Outcome::Failed:
        url += "&outcome=failed&reason=" + PercentEncode(result.reason);
        break;
    case RunResult::Outcome::Cancelled:
        url += "&outcome=cancelled";
        break;
    }
    return url + "&seconds=" + std::to_string(result.seconds);
}
