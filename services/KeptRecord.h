#pragma once
// What identifies the bytes of an interrupted download that are kept for a later run: where they
// came from, which version of the file they belong to, how many there are, when they were kept,
// their digest and the identity of the file that holds them. Written beside them as a few lines
// of text; window-free, so that the reader is tested natively and fuzzed.
#include <cstdint>
#include <string>

// Kept bytes older than this are not resumed: a week-old download is more likely to belong to a
// file that changed than to save the user time.
constexpr uint64_t kKeptForAtMost = 7ull * 24 * 60 * 60 * 10000000;  // in 100 ns units

struct KeptRecord {
    std::string url;
    // The server's strong ETag or Last-Modified date, sent back in If-Range.
    std::string validator;
    // The declared length of the whole file, and how many of its first bytes are kept.
    uint64_t length = 0;
    uint64_t kept = 0;
    // When they were kept, in 100 ns units since 1601 (UTC), as the system's clock gives it.
    uint64_t savedAt = 0;
    unsigned char digest[32] = {};
    // The kept file's volume serial number and file index: a file put at its path since is
    // another file.
    uint32_t volume = 0;
    uint64_t fileIndex = 0;
};

std::string FormatKeptRecord(const KeptRecord& record);
// False for anything FormatKeptRecord could not have written (also a valid record followed or
// preceded by anything else).
bool ParseKeptRecord(const std::string& text, KeptRecord* record);
// Whether the kept bytes may be resumed for a download of `url` at `now` (same units as
// savedAt): the same URL, a validator, some but not all of the file, kept less than
// kKeptForAtMost ago and not in the future (a clock set back says nothing about their age).
bool IsResumable(const KeptRecord& record, const std::string& url, uint64_t now);
