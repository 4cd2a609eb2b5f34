#pragma once
// What a download is asked to do and how it ended, free of window code, so that the code that
// decides on outcomes is also built and tested natively.
#include <cstdint>

// How long a download may stay silent (no connection made, no answer, no byte of the body)
// before its attempt fails: long enough for a slow proxy or a busy server to answer, short
// enough that a dead link ends with a message while the user still waits for one.
constexpr uint32_t kDownloadSilenceMs = 30000;

class KeptDownload;
class ProxyPrompt;

// What a download accepts and how hard it tries.
struct DownloadPolicy {
    uint32_t silenceMs = kDownloadSilenceMs;
    // The largest body taken: a longer declared length, or more bytes, fail the download at once.
    uint64_t maxBytes = UINT64_MAX;
    // More than one: a failure that may pass (connection refused or lost, a body cut short, a
    // silence, a 5xx answer) is tried again after a pause that grows, from where the received
    // bytes end when the server can vouch that the file is still the same one (a validator) and
    // answers the range request correctly, else from the start. A refusal (another status) or a
    // length that cannot be right fails at once.
    int attempts = 1;
    // Asks the user when a proxy wants credentials that WinINet cannot give by itself; without
    // one such a download fails at once (ProxyAuth).
    ProxyPrompt* proxyPrompt = nullptr;
    // A file download of a declared length goes on from the bytes an earlier run kept here, and
    // when its last attempt fails for a reason that may pass, keeps its bytes here for a later
    // run; any other end discards what is kept.
    KeptDownload* kept = nullptr;
};

enum class DownloadEvent : int32_t {
    Idle = 0,        // nothing started, or the result was cleared; never raised
    Connecting = 1,  // the worker is about to open the URL (also the value a start sets)
    InProgress = 2,  // the response was accepted; raised then and after every chunk
    Failed = 3,      // final: the download did not complete
    Done = 4,        // final: the whole body is in the file or in `buffer`
};

// Why a run of the installer did not install: the download's own reasons, then the session's.
// The values and names stay as they are once shipped: they travel in reports.
enum class FailureReason : uint8_t {
    None = 0,
    BadUrl,       // not an http or https URL
    Network,      // the connection, a send or a read failed; detail: the WinINet error number
    HttpStatus,   // a status outside 200-299 (5xx after the last attempt); detail: the status
    BadRange,     // a 206 that was not the part asked for, or one to a request for no range
    NoLength,     // no usable Content-Length where one is needed
    TooLarge,     // a declared length or a body past the cap
    WrongLength,  // the body ended before its declared length, ran past it or was empty;
                  // detail: the bytes received
    File,         // the target file could not be created or written; detail: the system error
    NoThread,     // no worker thread could be started
    NoMemory,     // no memory for the body or the request
    Stopped,      // the owner asked the download to stop
    NoFolder,     // no folder for the setup program
    Signature,    // the setup program's signature was refused; detail: the check's verdict
    Cancelled,    // the user cancelled
    NoStart,      // the checked setup program could not be started
    Changed,      // the complete file was replaced or changed by someone else before it was held
    NoWindow,     // the window could not be made (no common controls): nobody could follow the run
    ProxyAuth,    // the proxy asked who the user is, and the user cancelled (or failed three times)
    DiskFull,     // the target's volume cannot hold the body (declared, or found while writing);
                  // detail: the system error, or 0 when the declared length was refused
};

struct Failure {
    FailureReason reason = FailureReason::None;
    // The status code, error number or verdict that goes with the reason; 0 when none. A byte
    // count is held at UINT32_MAX (see FailureDetail): it only tells a person how far it got.
    uint32_t detail = 0;
};

// A byte count as a failure's detail.
constexpr uint32_t FailureDetail(uint64_t bytes) { return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes); }

// A short, stable ASCII name for the reason ("http", "network", ...), fit for a URL's query.
const char* FailureName(FailureReason reason);
