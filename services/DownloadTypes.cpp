#include "services/DownloadTypes.h"

const char* FailureName(FailureReason reason) {
    switch (reason) {
    case FailureReason::None: return "none";
    case FailureReason::BadUrl: return "bad-url";
    case FailureReason::Network: return "network";
    case FailureReason::HttpStatus: return "http";
    case FailureReason::BadRange: return "bad-range";
    case FailureReason::NoLength: return "no-length";
    case FailureReason::TooLarge: return "too-large";
    case FailureReason::WrongLength: return "length";
    case FailureReason::File: return "file";
    case FailureReason::NoThread: return "no-thread";
    case FailureReason::NoMemory: return "no-memory";
    case FailureReason::Stopped: return "stopped";
    case FailureReason::NoFolder: return "no-folder";
    case FailureReason::Signature: return "signature";
    case FailureReason::Cancelled: return "cancelled";
    case FailureReason::NoStart: return "no-start";
    case FailureReason::Changed: return "changed";
    case FailureReason::NoWindow: return "no-window";
    case FailureReason::ProxyAuth: return "proxy-auth";
    case FailureReason::DiskFull: return "disk-full";
    }
    return "unknown";
}
