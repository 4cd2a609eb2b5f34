#include "app/RequestUrls.h"

#include <gtest/gtest.h>

TEST(RequestUrls, BothRequestsCarryTheSameValues) {
    RequestValues values{"downloads.example.com:8080", 11628, 1, "EN", "demo"};
    EXPECT_EQ(SetupRequestUrl(values),
              "http://downloads.example.com:8080/index.new.php?action=installer&affid=11628&skinid=1&lang=EN&remarks=demo");
    EXPECT_EQ(SlideshowRequestUrl(values),
              "http://downloads.example.com:8080/index.new.php?action=installer_images&affid=11628&skinid=1&lang=EN"
              "&remarks=demo");
}

TEST(RequestUrls, ResultSaysHowTheRunEnded) {
    RequestValues values{"downloads.example.com", 11628, 1, "DE", "a b"};
    const std::string base =
        "http://downloads.example.com/index.new.php?action=installer_result&affid=11628&skinid=1&lang=DE&remarks=a%20b";
    const struct {
        RunResult result;
        const char* tail;
    } cases[] = {
        {{RunResult::Outcome::Installed, 0, "", 42}, "&outcome=installed&exitcode=0&seconds=42"},
        // An exit code is a DWORD: NTSTATUS values of a crashed setup stay unsigned.
        {{RunResult::Outcome::Installed, 0xC0000005ul, "", 7}, "&outcome=installed&exitcode=3221225477&seconds=7"},
        {{RunResult::Outcome::Failed, 0, "no-folder", 3}, "&outcome=failed&reason=no-folder&seconds=3"},
        {{RunResult::Outcome::Cancelled, 0, "", 0}, "&outcome=cancelled&seconds=0"},
    };
    for (const auto& c : cases) EXPECT_EQ(ResultRequestUrl(values, c.result), base + c.tail);
}

TEST(RequestUrls, ServerSchemeIsThePublishersChoice) {
    const struct {
        const char* server;
        const char* base;
    } cases[] = {
        {"downloads.example.com", "http://downloads.example.com/"},
        {"127.0.0.1:47811", "http://127.0.0.1:47811/"},
        {"http://downloads.example.com", "http://downloads.example.com/"},
        {"https://downloads.example.com", "https://downloads.example.com/"},
        {"HTTPS://downloads.example.com:8443/", "HTTPS://downloads.example.com:8443/"},
        {"httpsmirror.example.com", "http://httpsmirror.example.com/"},
    };
    for (const auto& c : cases) {
        RequestValues values{c.server, 0, 1, "EN", "x"};
        std::string expected = std::string(c.base) + "index.new.php?action=";
        EXPECT_EQ(SetupRequestUrl(values).substr(0, expected.size()), expected) << c.server;
        EXPECT_EQ(SlideshowRequestUrl(values).substr(0, expected.size()), expected) << c.server;
    }
}

TEST(RequestUrls, RemarksReachTheServerIntact) {
    const struct {
        std::string remarks;
        const char* encoded;
    } cases[] = {
        {"NoSign", "NoSign"},
        {"", ""},
        {"a&b=c#d", "a%26b%3Dc%23d"},
        {"50% + more", "50%25%20%2B%20more"},
        {"keep-._~AZaz09", "keep-._~AZaz09"},
        {"caf\xE9/\x7F", "caf%E9%2F%7F"},
    };
    for (const auto& c : cases) {
        RequestValues values{"h", 0, 1, "EN", c.remarks};
        std::string url = SetupRequestUrl(values);
        EXPECT_EQ(url.substr(url.find("&remarks=") + 9), c.encoded) << c.remarks;
    }
}

TEST(RequestUrls, LargeAffiliateIdsStayUnsigned) {
    RequestValues values{"h", 4294967295u, 1, "EN", "x"};
    EXPECT_NE(SetupRequestUrl(values).find("&affid=4294967295&"), std::string::npos);
}
