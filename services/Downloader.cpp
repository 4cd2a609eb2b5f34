#include "services/Downloader.h"

#include "framework/Handles.h"
#include "services/FileDigest.h"
#include "services/HeldFile.h"
#include "services/HttpHeaders.h"
#include "services/KeptDownload.h"
#include "services/PollingWait.h"
#include "services/ProxyPrompt.h"
#include "services/SystemDlls.h"

#include <cstring>
#include <memory>
#include <new>
#include <optional>

namespace {
constexpr const char* kUserAgent = "QVT";
constexpr DWORD_PTR kContext = 1;
// Always from the server, never from the cache; binary transfer.
constexpr DWORD kOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_TRANSFER_BINARY;
// Until the late DLLs are loaded (services/SystemDlls.h), WinINet must not load them itself: a
// request then neither follows a redirect, which may lead to a secure server, nor answers a
// challenge. An answer asking for either is asked for again once they are loaded.
constexpr DWORD kBeforeLateDlls = INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_AUTH;
constexpr DWORD kChunkSize = 4096;
// Chunks reach the file in blocks of this size: a WriteFile costs about as much as a quarter of
// a 4096-byte read under Wine, and nothing reads the file before it is complete.
constexpr DWORD kWriteBlock = 64 * kChunkSize;

// InternetOpenUrl also opens ftp:// and file:// URLs; only web URLs may be fetched.
bool IsWebUrl(const std::string& url) {
    for (const char* scheme : {"http://", "https://"})
        if (url.size() > std::strlen(scheme) && _strnicmp(url.c_str(), scheme, std::strlen(scheme)) == 0)
            return true;
    return false;
}

// Pauses before the second, third, ... attempt: 1 s, 2 s, 4 s, at most 8 s.
DWORD RetryPauseMs(int failedAttempts) { return 1000u << (failedAttempts < 4 ? failedAttempts - 1 : 3); }

DWORD StatusCode(HINTERNET request) {
    DWORD code = 0, size = sizeof(code);
    return WinInet()->HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr) ? code : 0;
}

// A redirect, or a challenge for credentials from the server or a proxy.
bool AsksForMore(DWORD code) {
    return (code >= 300 && code <= 399) || code == HTTP_STATUS_DENIED || code == HTTP_STATUS_PROXY_AUTH_REQ;
}

// A header's text; false when the response has none (or an absurdly long one).
bool QueryHeader(HINTERNET request, DWORD header, std::string* text) {
    char value[256] = {};
    DWORD size = sizeof(value) - 1;
    if (!WinInet()->HttpQueryInfoA(request, header, value, &size, nullptr)) return false;
    text->assign(value, size);
    return true;
}

// The Content-Length the server declared; false when it sent none, or a text that is not a
// length: the platform's own number conversion would take "abc" as 0 and a cut body as whole.
bool QueryLength(HINTERNET request, uint64_t* length) {
    std::string text;
    return QueryHeader(request, HTTP_QUERY_CONTENT_LENGTH, &text) && ParseContentLength(text, length);
}

// What tells this version of the body from any other, for a range request's If-Range: a strong
// ETag, else the Last-Modified date (a weak ETag cannot vouch for bytes); empty when neither.
std::string Validator(HINTERNET request) {
    std::string text;
    if (QueryHeader(request, HTTP_QUERY_ETAG, &text) && !text.empty() && text.compare(0, 2, "W/") != 0) return text;
    if (QueryHeader(request, HTTP_QUERY_LAST_MODIFIED, &text) && !text.empty()) return text;
    return std::string();
}

uint32_t LastError() { return static_cast<uint32_t>(GetLastError()); }

// Why the target file could not take its bytes, from the last error: a volume out of room is
// told apart, as the user can do something about it (make room, or choose another temporary
// folder) that a retry cannot.
Failure FileFailure() {
    const uint32_t error = LastError();
    const bool full = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
    return Failure{full ? FailureReason::DiskFull : FailureReason::File, error};
}

// What a volume must have free beyond the body's bytes for the download to begin. The body is
// not all the file costs: the file system rounds it up to whole clusters (up to 2 MiB each on
// the largest NTFS volumes) and keeps records of where its pieces lie, and up to one write
// block of bytes already received may still be waiting to be written. 4 MiB covers that with
// room to spare, and is too little to turn away a setup program that the volume can hold.
constexpr uint64_t kRoomMarginBytes = 4u << 20;

// One internet session for every request of the run: credentials that a proxy asked for are
// entered once and go with every later request. It is opened by the first download and never
// closed: a worker stuck in a read may still use it while the process ends.
INIT_ONCE sessionOnce = INIT_ONCE_STATIC_INIT;
HINTERNET sharedSession = nullptr;
DWORD sharedSessionError = 0;

BOOL CALLBACK OpenSession(INIT_ONCE*, void*, void**) {
    const WinInetFunctions* wininet = WinInet();
    sharedSession = wininet ? wininet->InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0) : nullptr;
    sharedSessionError = sharedSession ? 0 : GetLastError();
    return TRUE;
}

// Null, with the error in `error`, when no session could be had.
HINTERNET SharedSession(uint32_t* error) {
    InitOnceExecuteOnce(&sessionOnce, OpenSession, nullptr, nullptr);
    *error = sharedSessionError;
    return sharedSession;
}

// Reads the rest of an answer that is not wanted, so that the same request can be sent again.
void SkipBody(HINTERNET request) {
    char chunk[kChunkSize];
    DWORD count = 0;
    while (WinInet()->InternetReadFile(request, chunk, sizeof(chunk), &count) && count > 0) {
    }
}

// Set on each download's connection and request (the session is shared by downloads with other
// bounds): under Wine a session's time-outs do not reach its requests, and only a request's
// receive time-out ends a read from a server that went silent.
void LimitSilence(HINTERNET handle, DWORD ms) {
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        WinInet()->InternetSetOptionA(handle, option, &ms, sizeof(ms));
}

// The file a download writes into. Until Close succeeds it is a partial file, and every other
// way out closes and deletes it: a failed download leaves no bytes behind. A file that could
// not be created is never deleted: it may be someone else's file that was merely locked.
class TargetFile {
public:
    TargetFile() = default;
    TargetFile(const TargetFile&) = delete;
    TargetFile& operator=(const TargetFile&) = delete;
    ~TargetFile() { Discard(); }

    bool Create(const std::wstring& path) {
        pending.reset(new (std::nothrow) char[kWriteBlock]);
        if (!pending) return false;
        // Shared with nobody: nobody else can write, rename or delete it meanwhile, so the bytes
        // it holds are exactly those that went through `digest`.
        handle = AdoptFileHandle(CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE, 0,
                                             nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!handle) return false;
        createdPath = path;
        // Until the download is complete the system deletes the file when its handle closes,
        // so a partial file goes away even when the process ends in the middle (a Cancel that
        // cannot wait for a stalled server, a crash, a kill).
        markedForDeletion = SetDeleteOnClose(true);
        digest.Restart();
        if (!GetFileInformationByHandle(handle.get(), &identity)) {
            Discard();
            return false;
        }
        return true;
    }
    // Goes on from bytes an earlier run kept. They are read once: for the digest, which the rest
    // of the body continues, and to check that they are still the bytes that were kept. Then the
    // file moves to `path` and is a partial file like one just made. False otherwise (also on a
    // stop), and then the kept file is deleted.
    bool Adopt(KeptFile kept, const std::wstring& path, const std::atomic<bool>& stop) {
        if (!pending) pending.reset(new (std::nothrow) char[kWriteBlock]);
        digest.Restart();
        uint64_t left = kept.record.kept;
        for (DWORD got = 0; pending && left > 0 && !stop; left -= got) {
            const DWORD want = left < kWriteBlock ? static_cast<DWORD>(left) : kWriteBlock;
            if (!ReadFile(kept.file.get(), pending.get(), want, &got, nullptr) || got != want ||
                !digest.Add(pending.get(), got))
                break;
        }
        FileDigest read;
        const bool same = left == 0 && !stop && digest.Peek(&read) &&
                          std::memcmp(read.bytes, kept.record.digest, sizeof(read.bytes)) == 0;
        // Moved as it is open: nobody can put another file in its place on the way.
        if (!same || !MoveByHandle(kept.file.get(), path, false)) {
            ::SetDeleteOnClose(kept.file.get(), true);
            digest.Restart();
            return false;
        }
        handle = std::move(kept.file);
        markedForDeletion = SetDeleteOnClose(true);
        createdPath = path;
        if (!GetFileInformationByHandle(handle.get(), &identity)) {
            Discard();
            digest.Restart();
            return false;
        }
        return true;
    }
    // Hands the bytes written so far to `place` for a later run (`record` says what they are);
    // false when they could not be kept, and then the file is still this download's to delete.
    bool Keep(KeptDownload& place, KeptRecord record) {
        FileDigest written;
        if (!markedForDeletion || !Flush() || !FlushFileBuffers(handle.get()) || !digest.Peek(&written)) return false;
        std::memcpy(record.digest, written.bytes, sizeof(record.digest));
        if (!place.Keep(handle.get(), record)) return false;
        markedForDeletion = false;
        createdPath.clear();
        handle.reset();
        return true;
    }
    bool IsOpen() const { return static_cast<bool>(handle); }
    // Empties the file, to receive the body again from its start.
    bool Truncate() {
        pendingSize = 0;
        digest.Restart();
        return SetFilePointer(handle.get(), 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
               SetEndOfFile(handle.get());
    }
    // Takes at most kWriteBlock bytes; false when the file could not take the bytes before them.
    // The rest of a resumed body follows the bytes kept through the same handle: the digest
    // simply goes on.
    bool Write(const char* data, DWORD size) {
        if (size > kWriteBlock - pendingSize && !Flush()) return false;
        std::memcpy(pending.get() + pendingSize, data, size);
        pendingSize += size;
        return true;
    }
    // Keeps the file if all of it is written and it closes cleanly, and holds it from then on
    // (`held`), expecting of it the digest of the bytes written; the reason why not otherwise.
    //
    // Windows cannot start a program while a handle that may write it is open, and a handle
    // opened beside the writing one must share writing, so there is an instant between the
    // writing handle's close and the holder's open in which another program could get at the
    // file. A file renamed into its place then is not the one that was written: it is neither
    // taken nor deleted. A file changed in place still is, but its digest, read through the
    // holder (from then on nobody can change it), differs from the digest taken of the bytes
    // as they went to the file (until the writing handle closes nobody else can change them).
    // That read is left to the holder's owner (HeldFile::Compare), who can overlap it with the
    // signature check, which reads the whole file too.
    FailureReason Close(HeldFile* held) {
        FileDigest written;
        if (!Flush() || !digest.Finish(&written)) return FailureReason::File;
        if (markedForDeletion && !SetDeleteOnClose(false)) return FailureReason::File;
        markedForDeletion = false;
        if (!CloseHandle(handle.release())) return FailureReason::File;
        const std::wstring path = std::move(createdPath);
        createdPath.clear();
        if (!held->Hold(path.c_str(), identity)) {
            DeleteIfSame(path.c_str(), identity);
            return FailureReason::Changed;
        }
        held->Expect(written);
        return FailureReason::None;
    }

private:
    // A short write (a full disk) is a failure like any other, and so is a block the digest
    // could not take in: the download fails either way, so the digest never has to match a file
    // that holds other bytes than those it took in.
    bool Flush() {
        DWORD written = 0;
        bool whole = pendingSize == 0 ||
                     (digest.Add(pending.get(), pendingSize) &&
                      WriteFile(handle.get(), pending.get(), pendingSize, &written, nullptr) && written == pendingSize);
        // A local file that takes fewer bytes than it was given, without an error, is on a full
        // volume.
        if (!whole && written > 0 && written < pendingSize) SetLastError(ERROR_DISK_FULL);
        pendingSize = 0;
        return whole;
    }
    bool SetDeleteOnClose(bool deleteOnClose) { return ::SetDeleteOnClose(handle.get(), deleteOnClose); }
    void Discard() {
        // A file marked for deletion goes with its handle. Any other is deleted only while it is
        // still the one this download made: once its handle is closed, another file may be put
        // at its path.
        handle.reset();
        if (!markedForDeletion && !createdPath.empty()) DeleteIfSame(createdPath.c_str(), identity);
        createdPath.clear();
    }

    UniqueHandle handle;
    std::wstring createdPath;
    BY_HANDLE_FILE_INFORMATION identity{};
    bool markedForDeletion = false;
    std::unique_ptr<char[]> pending;
    DWORD pendingSize = 0;
    Sha256 digest;
};

// Counts a callback in while it runs, also when it leaves by an exception.
class CallbackScope {
public:
    explicit CallbackScope(std::atomic<long>& running) : running_(running) { running_.fetch_add(1); }
    ~CallbackScope() { running_.fetch_sub(1); }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

private:
    std::atomic<long>& running_;
};

void ReleaseBytes(std::string& bytes) { std::string().swap(bytes); }
}  // namespace

// Where the body goes: the target file, created once the first response is accepted and kept
// open across attempts, or the buffer. Either holds exactly the first `received` bytes.
class Downloader::Sink {
public:
    explicit Sink(Downloader& owner) : owner(owner) {}
    bool Open() { return owner.targetPath.empty() || file.IsOpen() || file.Create(owner.targetPath); }
    bool Append(const char* data, DWORD size) {
        if (file.IsOpen()) return file.Write(data, size);
        owner.buffer.append(data, size);
        return true;
    }
    bool Restart() {
        owner.received = 0;
        if (file.IsOpen()) return file.Truncate();
        owner.buffer.clear();
        return true;
    }
    FailureReason Finish(HeldFile* held) {
        return file.IsOpen() ? file.Close(held) : FailureReason::None;
    }
    // Goes on from the bytes an earlier run kept in `place`, if it holds some for this download.
    bool Resume(KeptDownload& place, std::string& validator) {
        if (owner.targetPath.empty() || !owner.querySize) return false;
        KeptFile kept = place.Take();
        if (!kept.file) return false;
        const KeptRecord record = kept.record;
        if (record.length > owner.policy.maxBytes) {
            place.Discard();
            return false;
        }
        if (!file.Adopt(std::move(kept), owner.targetPath, owner.stopRequested)) return false;
        owner.received = record.kept;
        owner.totalSize = record.length;
        validator = record.validator;
        return true;
    }
    // Hands what came so far to `place`, when it can be resumed: bytes of a declared length,
    // with a validator to ask for the rest of the same file.
    bool Keep(KeptDownload& place, const std::string& validator) {
        if (!file.IsOpen() || owner.received == 0 || !owner.querySize || validator.empty()) return false;
        KeptRecord record;
        record.validator = validator;
        record.length = owner.totalSize;
        record.kept = owner.received;
        return file.Keep(place, record);
    }

private:
    Downloader& owner;
    TargetFile file;
};

Downloader::Downloader(DownloadCallback callback, void* context)
    : listener(Listener{callback, context}), callbacksRunning(std::make_shared<CallbackCount>(0)) {}

void Downloader::SetCallback(DownloadCallback callback, void* context) {
    AcquireSRWLockExclusive(&listenerLock);
    listener = Listener{callback, context};
    ReleaseSRWLockExclusive(&listenerLock);
}

bool Downloader::DownloadToFile(const std::string& newUrl, const std::wstring& newTargetPath, bool newQuerySize,
                                const DownloadPolicy& newPolicy) {
    return Start(newUrl, newTargetPath, newQuerySize, newPolicy);
}

bool Downloader::DownloadToMemory(const std::string& newUrl, bool newQuerySize, const DownloadPolicy& newPolicy) {
    return Start(newUrl, std::wstring(), newQuerySize, newPolicy);
}

bool Downloader::Stop() {
    if (!busy) return false;
    stopRequested = true;
    return true;
}

HeldFile Downloader::TakeFile() { return std::move(completeFile); }

bool Downloader::ClearResult() {
    if (busy) return false;
    received = 0;
    totalSize = 0;
    status = DownloadEvent::Idle;
    targetPath.clear();
    failure = Failure{};
    ReleaseBytes(buffer);
    return true;
}

bool Downloader::Start(const std::string& newUrl, const std::wstring& newTargetPath, bool newQuerySize,
                       const DownloadPolicy& newPolicy) {
    // Claimed in one step: the owner's thread and a final callback may both try to start.
    bool idle = false;
    if (!busy.compare_exchange_strong(idle, true)) return false;
    url = newUrl;
    targetPath = newTargetPath;
    querySize = newQuerySize;
    policy = newPolicy;
    ReleaseBytes(buffer);
    completeFile = HeldFile();
    received = 0;
    totalSize = 0;
    failure = Failure{};
    status = DownloadEvent::Connecting;
    stopRequested = false;
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (!thread) {
        // No worker will ever raise an event: the start itself reports the failure.
        failure = Failure{FailureReason::NoThread, LastError()};
        status = DownloadEvent::Failed;
        busy = false;
        return false;
    }
    CloseHandle(thread);
    return true;
}

DWORD WINAPI Downloader::ThreadMain(void* parameter) {
    // Only an owner's callback could throw; nothing may unwind out of a thread.
    try {
        static_cast<Downloader*>(parameter)->Run();
    } catch (...) {
    }
    return 1;
}

void Downloader::Run() {
    // The worker's own reference: the count must outlive the object if the final callback
    // destroys it.
    const std::shared_ptr<CallbackCount> running = callbacksRunning;
    // Without WinINet there is no session, and the download fails like one that cannot connect.
    uint32_t sessionError = 0;
    HINTERNET session = SharedSession(&sessionError);
    // Every download opens with Connecting, also when the session could not be had, so an
    // owner sees one sequence whatever goes wrong.
    RaiseProgress(DownloadEvent::Connecting, *running);
    DownloadEvent outcome = DownloadEvent::Failed;
    if (!session) {
        failure = Failure{FailureReason::Network, sessionError};
    } else {
        try {
            outcome = Fetch(session, *running);
        } catch (...) {
            // Out of memory for the buffer, or a callback that threw: the download failed.
            failure = Failure{FailureReason::NoMemory, 0};
            outcome = DownloadEvent::Failed;
        }
    }
    RaiseFinal(outcome, *running);
    // Nothing of the object is touched after the final callback.
}

DownloadEvent Downloader::Fetch(HINTERNET session, CallbackCount& running) {
    if (!IsWebUrl(url)) return FailDownload(FailureReason::BadUrl);
    // Host, port and the path with its query, as pointers into `url`.
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
    if (!WinInet()->InternetCrackUrlA(url.c_str(), 0, 0, &parts) || !parts.lpszHostName || parts.dwHostNameLength == 0 ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS))
        return FailDownload(FailureReason::BadUrl);
    std::string host(parts.lpszHostName, parts.dwHostNameLength);
    std::string object;
    if (parts.lpszUrlPath) object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (object.empty()) object = "/";
    DWORD flags = kOpenFlags | (parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
    // TLS is among what the late DLLs bring.
    if (flags & INTERNET_FLAG_SECURE) LoadLateDlls();

    UniqueInternet connection(WinInet()->InternetConnectA(session, host.c_str(), parts.nPort, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, kContext));
    if (!connection) return FailDownload(FailureReason::Network, LastError());
    LimitSilence(connection.get(), policy.silenceMs);
    Sink sink(*this);
    bool accepted = false;
    std::string validator;
    KeptDownload* const place = policy.kept;
    if (place) sink.Resume(*place, validator);
    for (int attempt = 1;; ++attempt) {
        Attempt result = FetchOnce(connection.get(), object, flags, sink, accepted, validator, running);
        if (result == Attempt::Done) {
            if (place) place->Discard();
            const FailureReason kept = sink.Finish(&completeFile);
            if (kept == FailureReason::None) return DownloadEvent::Done;
            if (kept != FailureReason::File) return FailDownload(kept);
            const Failure why = FileFailure();
            return FailDownload(why.reason, why.detail);
        }
        if (result == Attempt::Failed || attempt >= policy.attempts) {
            // A failure that may pass keeps what came for the next run; any other (a stop, a
            // refusal, a body that cannot be the file) leaves nothing.
            if (place && !(result == Attempt::Retry && sink.Keep(*place, validator))) place->Discard();
            return DownloadEvent::Failed;
        }
        if (!PauseBeforeAttempt(attempt)) {
            if (place) place->Discard();
            return FailDownload(FailureReason::Stopped);
        }
    }
}

// One request. The bytes kept from earlier attempts are asked for no more when the server can
// send the rest of the same file (see ResumeOrRestart). Without a validator nothing is resumed:
// the server could not say whether the bytes kept and the rest belong to the same file.
Downloader::Attempt Downloader::FetchOnce(HINTERNET connection, const std::string& object, DWORD flags, Sink& sink,
                                          bool& accepted, std::string& validator, CallbackCount& running) {
    const uint64_t kept = received;
    const bool resuming = kept > 0 && querySize && kept < totalSize && !validator.empty();
    if (kept > 0 && !resuming && !sink.Restart()) return Fail(Attempt::Failed, FailureReason::File, LastError());
    std::string range = resuming ? "Range: bytes=" + std::to_string(kept) + "-\r\nIf-Range: " + validator + "\r\n"
                                 : std::string();
    DWORD code = 0;
    UniqueInternet request = Send(connection, object, flags, range, &code);
    // Nobody gave the proxy its credentials: asking again would not change that.
    if (!request) return failure.reason == FailureReason::ProxyAuth ? Attempt::Failed : Attempt::Retry;
    // The request is out: the late DLLs load meanwhile, ready for the digest and the signature check.
    LoadLateDllsAhead();
    if (code == HTTP_STATUS_PROXY_AUTH_REQ) return Fail(Attempt::Failed, FailureReason::ProxyAuth, code);
    if (code >= 500 && code <= 599) return Fail(Attempt::Retry, FailureReason::HttpStatus, code);
    if (code < 200 || code > 299) return Fail(Attempt::Failed, FailureReason::HttpStatus, code);
    // A 206 to a request for the whole body is never taken for it.
    if (code == 206 && !resuming) return Fail(Attempt::Failed, FailureReason::BadRange, code);
    if (!accepted) {
        accepted = true;
        RaiseProgress(DownloadEvent::InProgress, running);
    }
    uint64_t length = 0;
    const bool hasLength = QueryLength(request.get(), &length);
    if (resuming) {
        if (std::optional<Attempt> refused = ResumeOrRestart(request.get(), code, hasLength ? &length : nullptr, sink, validator))
            return *refused;
    }
    if (received == 0) {
        if (querySize && !hasLength) return Fail(Attempt::Failed, FailureReason::NoLength);
        if (querySize && length > policy.maxBytes)
            return Fail(Attempt::Failed, FailureReason::TooLarge, FailureDetail(length));
        totalSize = querySize ? length : 0;
        validator = Validator(request.get());
    }
    if (querySize) {
        if (std::optional<Attempt> refused = RefuseWithoutRoom(totalSize - received)) return *refused;
    }
    if (!sink.Open()) return Fail(Attempt::Failed, FailureReason::File, LastError());
    return ReadBody(request.get(), sink, running);
}

// Sends the request for `object` with the extra `headers` and learns the answer's status code.
// Before the late DLLs are loaded WinINet may not follow a redirect nor answer a challenge: an
// answer that asks for either is asked for again once they are. Null when no request could be
// sent, with the failure recorded.
UniqueInternet Downloader::Send(HINTERNET connection, const std::string& object, DWORD flags,
                                const std::string& headers, DWORD* code) {
    UniqueInternet request;
    for (bool beforeLateDlls = !LateDllsReady();; beforeLateDlls = false) {
        request.reset(WinInet()->HttpOpenRequestA(connection, "GET", object.c_str(), nullptr, nullptr, nullptr,
                                                  flags | (beforeLateDlls ? kBeforeLateDlls : 0), kContext));
        if (!request) {
            failure = Failure{FailureReason::Network, LastError()};
            return request;
        }
        LimitSilence(request.get(), policy.silenceMs);
        unsigned answersSeen = policy.proxyPrompt ? policy.proxyPrompt->Answers() : 0;
        if (!SendOnce(request.get(), headers, code)) return UniqueInternet();
        if (beforeLateDlls && AsksForMore(*code)) {
            LoadLateDlls();
            continue;
        }
        // WinINet has answered the proxy with what it knows, and the proxy still refuses: the
        // user is asked, and the same request goes again with what they entered.
        while (*code == HTTP_STATUS_PROXY_AUTH_REQ && policy.proxyPrompt) {
            SkipBody(request.get());
            if (policy.proxyPrompt->Ask(request.get(), answersSeen) != ProxyPrompt::Answer::Retry) {
                failure = Failure{FailureReason::ProxyAuth, *code};
                return UniqueInternet();
            }
            if (!SendOnce(request.get(), headers, code)) return UniqueInternet();
        }
        return request;
    }
}

// False, with the failure recorded, when no answer came: no connection, or a silence.
bool Downloader::SendOnce(HINTERNET request, const std::string& headers, DWORD* code) {
    if (!WinInet()->HttpSendRequestA(request, headers.empty() ? nullptr : headers.c_str(),
                                     static_cast<DWORD>(headers.size()), nullptr, 0)) {
        failure = Failure{FailureReason::Network, LastError()};
        return false;
    }
    *code = StatusCode(request);
    return true;
}

// The answer to a request for the rest of the body continues the bytes kept only when it is a
// 206 whose range starts where they end and runs to the end of the same length (`length`: the
// answer's Content-Length, null when it has none). A whole body (200: the file changed, or the
// server ignores ranges) replaces them; any other part is thrown away with them, and the next
// attempt asks for everything. Nothing when the body may be read.
std::optional<Downloader::Attempt> Downloader::ResumeOrRestart(HINTERNET request, DWORD code, const uint64_t* length,
                                                               Sink& sink, std::string& validator) {
    const uint64_t kept = received;
    std::string text;
    ByteRange part;
    const bool rest = code == 206 && QueryHeader(request, HTTP_QUERY_CONTENT_RANGE, &text) &&
                      ParseContentRange(text, &part) && part.first == kept && part.last == totalSize - 1 &&
                      part.total == totalSize && length && *length == totalSize - kept;
    if (rest) return std::nullopt;
    if (!sink.Restart()) return Fail(Attempt::Failed, FailureReason::File, LastError());
    validator.clear();
    if (code == 206) return Fail(Attempt::Retry, FailureReason::BadRange, code);
    return std::nullopt;
}

// A body the volume cannot hold fails before its first byte, rather than after minutes of
// downloading, and without filling the user's disk on the way. The free space is the caller's
// (quotas included); a volume that cannot tell is given the benefit of the doubt, and a write
// that fails for want of room ends the download all the same.
std::optional<Downloader::Attempt> Downloader::RefuseWithoutRoom(uint64_t toCome) {
    if (targetPath.empty()) return std::nullopt;
    const size_t slash = targetPath.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return std::nullopt;
    const std::wstring folder = targetPath.substr(0, slash + 1);
    ULARGE_INTEGER free{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &free, nullptr, nullptr)) return std::nullopt;
    if (free.QuadPart >= kRoomMarginBytes && free.QuadPart - kRoomMarginBytes >= toCome) return std::nullopt;
    return Fail(Attempt::Failed, FailureReason::DiskFull);
}

// Reads the body into the sink until its end, a stop, or a failure.
Downloader::Attempt Downloader::ReadBody(HINTERNET request, Sink& sink, CallbackCount& running) {
    char chunk[kChunkSize];
    while (!stopRequested) {
        DWORD count = 0;
        if (!WinInet()->InternetReadFile(request, chunk, kChunkSize, &count))
            return Fail(Attempt::Retry, FailureReason::Network, LastError());
        if (count == 0) break;
        // Past the cap, or past what the counters can hold: the body cannot be the one wanted.
        if (count > policy.maxBytes - received)
            return Fail(Attempt::Failed, FailureReason::TooLarge, FailureDetail(received));
        received += count;
        if (!sink.Append(chunk, count)) {
            const Failure why = FileFailure();
            return Fail(Attempt::Failed, why.reason, why.detail);
        }
        RaiseProgress(DownloadEvent::InProgress, running);
    }
    if (stopRequested) return Fail(Attempt::Failed, FailureReason::Stopped);
    if (received == 0 && totalSize == 0) return Fail(Attempt::Failed, FailureReason::WrongLength, 0);  // no body
    if (received < totalSize)  // cut short
        return Fail(Attempt::Retry, FailureReason::WrongLength, FailureDetail(received));
    if (querySize && received != totalSize)
        return Fail(Attempt::Failed, FailureReason::WrongLength, FailureDetail(received));
    return Attempt::Done;
}

// False when a stop was asked for meanwhile.
bool Downloader::PauseBeforeAttempt(int failedAttempts) {
    WaitUntil([this] { return stopRequested.load(); }, RetryPauseMs(failedAttempts));
    return !stopRequested;
}

void Downloader::RaiseProgress(DownloadEvent event, CallbackCount& running) {
    status = event;
    CallbackScope scope(running);
    Notify();
}

void Downloader::RaiseFinal(DownloadEvent outcome, CallbackCount& running) {
    if (outcome == DownloadEvent::Failed) ReleaseBytes(buffer);
    if (outcome == DownloadEvent::Done) failure = Failure{};
    status = outcome;
    // Counted in before `busy` clears, so an owner that sees `busy` false and then no callback
    // running knows the worker is past its last callback.
    CallbackScope scope(running);
    busy = false;
    // From here on a final callback may start the next download: only the listener is read.
    Notify();
}

void Downloader::Notify() {
    AcquireSRWLockShared(&listenerLock);
    const Listener target = listener;
    ReleaseSRWLockShared(&listenerLock);
    if (target.callback) target.callback(this, target.context);
}
