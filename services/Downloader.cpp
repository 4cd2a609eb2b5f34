#include "services/Downloader.h"

#include "framework/Handles.h"

#include <cstring>
#include <memory>
#include <new>

namespace {
constexpr const char* kUserAgent = "QVT";
constexpr DWORD_PTR kContext = 1;
// Always from the server, never from the cache; binary transfer.
constexpr DWORD kOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_TRANSFER_BINARY;
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

bool StatusAccepted(HINTERNET request) {
    DWORD code = 0, size = sizeof(code);
    return HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr) &&
           code >= 200 && code <= 299;
}

// The Content-Length the server declared; false when it sent none.
bool QueryLength(HINTERNET request, uint32_t* length) {
    DWORD value = 0, size = sizeof(value);
    if (!HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &value, &size, nullptr))
        return false;
    *length = value;
    return true;
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

    bool Create(const std::string& path) {
        pending.reset(new (std::nothrow) char[kWriteBlock]);
        if (!pending) return false;
        handle = AdoptFileHandle(CreateFileA(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!handle) return false;
        createdPath = path;
        // Until the download is complete the system deletes the file when its handle closes,
        // so a partial file goes away even when the process ends in the middle (a Cancel that
        // cannot wait for a stalled server, a crash, a kill).
        markedForDeletion = SetDeleteOnClose(true);
        return true;
    }
    bool IsOpen() const { return static_cast<bool>(handle); }
    // Takes at most kWriteBlock bytes; false when the file could not take the bytes before them.
    bool Write(const char* data, DWORD size) {
        if (size > kWriteBlock - pendingSize && !Flush()) return false;
        std::memcpy(pending.get() + pendingSize, data, size);
        pendingSize += size;
        return true;
    }
    // Keeps the file if all of it is written and it closes cleanly.
    bool Close() {
        if (!Flush() || (markedForDeletion && !SetDeleteOnClose(false)) || !CloseHandle(handle.release()))
            return false;
        createdPath.clear();
        return true;
    }

private:
    // A short write (a full disk) is a failure like any other.
    bool Flush() {
        DWORD written = 0;
        bool whole = pendingSize == 0 ||
                     (WriteFile(handle.get(), pending.get(), pendingSize, &written, nullptr) && written == pendingSize);
        pendingSize = 0;
        return whole;
    }
    bool SetDeleteOnClose(bool deleteOnClose) {
        FILE_DISPOSITION_INFO disposition{deleteOnClose};
        return SetFileInformationByHandle(handle.get(), FileDispositionInfo, &disposition, sizeof(disposition));
    }
    void Discard() {
        handle.reset();  // a file must be closed before it can be deleted
        if (!createdPath.empty()) DeleteFileA(createdPath.c_str());
        createdPath.clear();
    }

    UniqueHandle handle;
    std::string createdPath;
    bool markedForDeletion = false;
    std::unique_ptr<char[]> pending;
    DWORD pendingSize = 0;
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

Downloader::Downloader(DownloadCallback callback, void* context)
    : listener(Listener{callback, context}), callbacksRunning(std::make_shared<CallbackCount>(0)) {}

void Downloader::SetCallback(DownloadCallback callback, void* context) {
    listener.store(Listener{callback, context});
}

bool Downloader::DownloadToFile(const std::string& newUrl, const std::string& newTargetPath, bool newQuerySize) {
    return Start(newUrl, newTargetPath, newQuerySize);
}

bool Downloader::DownloadToMemory(const std::string& newUrl, bool newQuerySize) {
    return Start(newUrl, std::string(), newQuerySize);
}

bool Downloader::Stop() {
    if (!busy) return false;
    stopRequested = true;
    return true;
}

bool Downloader::ClearResult() {
    if (busy) return false;
    received = 0;
    totalSize = 0;
    status = DownloadEvent::Idle;
    targetPath.clear();
    ReleaseBytes(buffer);
    return true;
}

bool Downloader::Start(const std::string& newUrl, const std::string& newTargetPath, bool newQuerySize) {
    // Claimed in one step: the owner's thread and a final callback may both try to start.
    bool idle = false;
    if (!busy.compare_exchange_strong(idle, true)) return false;
    url = newUrl;
    targetPath = newTargetPath;
    querySize = newQuerySize;
    ReleaseBytes(buffer);
    received = 0;
    totalSize = 0;
    status = DownloadEvent::Connecting;
    stopRequested = false;
    HANDLE thread = CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (!thread) {
        // No worker will ever raise an event: the start itself reports the failure.
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
    UniqueInternet session(InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    // Every download opens with Connecting, also when the session could not be had, so an
    // owner sees one sequence whatever goes wrong.
    RaiseProgress(DownloadEvent::Connecting, *running);
    DownloadEvent outcome = DownloadEvent::Failed;
    if (session) {
        try {
            outcome = Fetch(session.get(), *running);
        } catch (...) {
            // Out of memory for the buffer, or a callback that threw: the download failed.
            outcome = DownloadEvent::Failed;
        }
    }
    RaiseFinal(outcome, *running);
    // The session closes here, after the final callback, and nothing of the object is touched.
}

DownloadEvent Downloader::Fetch(HINTERNET session, CallbackCount& running) {
    if (!IsWebUrl(url)) return DownloadEvent::Failed;
    UniqueInternet request(InternetOpenUrlA(session, url.c_str(), nullptr, 0, kOpenFlags, kContext));
    if (!request || !StatusAccepted(request.get())) return DownloadEvent::Failed;
    RaiseProgress(DownloadEvent::InProgress, running);

    uint32_t length = 0;
    if (querySize && !QueryLength(request.get(), &length)) return DownloadEvent::Failed;
    totalSize = length;

    TargetFile file;
    if (!targetPath.empty() && !file.Create(targetPath)) return DownloadEvent::Failed;
    char chunk[kChunkSize];
    while (!stopRequested) {
        DWORD count = 0;
        if (!InternetReadFile(request.get(), chunk, kChunkSize, &count)) return DownloadEvent::Failed;
        if (count == 0) break;
        // Byte counts are 32-bit: a longer body cannot be counted, so it cannot be judged.
        if (count > UINT32_MAX - received) return DownloadEvent::Failed;
        received += count;
        if (file.IsOpen()) {
            if (!file.Write(chunk, count)) return DownloadEvent::Failed;
        } else {
            buffer.append(chunk, count);
        }
        RaiseProgress(DownloadEvent::InProgress, running);
    }
    // A stopped or cut-off body is shorter than declared; an empty one is never a download.
    if (received == 0 || received < totalSize) return DownloadEvent::Failed;
    if (file.IsOpen() && !file.Close()) return DownloadEvent::Failed;
    return DownloadEvent::Done;
}

void Downloader::RaiseProgress(DownloadEvent event, CallbackCount& running) {
    status = event;
    CallbackScope scope(running);
    Notify();
}

void Downloader::RaiseFinal(DownloadEvent outcome, CallbackCount& running) {
    if (outcome == DownloadEvent::Failed) ReleaseBytes(buffer);
    status = outcome;
    // Counted in before `busy` clears, so an owner that sees `busy` false and then no callback
    // running knows the worker is past its last callback.
    CallbackScope scope(running);
    busy = false;
    // From here on a final callback may start the next download: only the listener is read.
    Notify();
}

void Downloader::Notify() {
    Listener target = listener.load();
    if (target.callback) target.callback(this, target.context);
}
