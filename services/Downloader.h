#pragma once
// Fetches one URL over HTTP on a worker thread of its own, into a file or into memory, and
// reports every step through a callback that runs on that worker thread. One download at a time
// per object; the object is reused for the next one.
#include "framework/Handles.h"
#include "services/DownloadTypes.h"
#include "services/HeldFile.h"
#include "services/SystemDlls.h"

#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class Downloader;

// For the destructor of an object that a download's worker (or another thread) may still use:
// nothing of a run being torn down is worth keeping, so the process ends before that thread
// meets a dead object.
inline void EndProcessIfStillUsed(bool used) {
    if (used) TerminateProcess(GetCurrentProcess(), 0);
}

// Called on the worker thread for every event. It reads status, received, totalSize and, for a
// memory download, buffer from the downloader. Its result is not looked at.
using DownloadCallback = int (*)(Downloader* downloader, void* context);

class Downloader {
public:
    // Never cloned: with three downloaders in the program, the link-time optimiser of GCC 12
    // (mingw-w64) crashes on a clone of this constructor made for its constant arguments.
    [[gnu::noclone]] explicit Downloader(DownloadCallback callback = nullptr, void* context = nullptr);
    // Neither stops nor waits for a worker: see "Leaving" below.
    virtual ~Downloader() = default;
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Replaces callback and context together; safe at any time, also while a worker runs.
    void SetCallback(DownloadCallback callback, void* context);

    // Both return false and change nothing while busy. An empty targetPath is a memory download.
    // The target is a UTF-16 path, so that a folder with any characters in its name works.
    // With querySize the body must be as long as the server's Content-Length to count as Done.
    // If no thread can be started they return false too, with status Failed and no event.
    bool DownloadToFile(const std::string& url, const std::wstring& targetPath, bool querySize,
                        const DownloadPolicy& policy = {});
    bool DownloadToMemory(const std::string& url, bool querySize, const DownloadPolicy& policy = {});

    // Asks the worker to end before its next read; does not wait. False when idle.
    bool Stop();
    // Forgets the last outcome (status Idle, counters 0, buffer released). False while busy.
    bool ClearResult();
    // The file of a complete file download, held from its last byte on (see HeldFile), for the
    // owner to keep holding; not held once taken, or before the download is Done. Its content
    // is not read back here: it expects the digest of the bytes written, and nothing of it may
    // run before its owner has compared them (HeldFile::Compare).
    HeldFile TakeFile();

    // Leaving: the worker clears `busy` just before its final callback (so that callback may
    // start the next download) and touches nothing of the object once that callback returns.
    // What tells an owner that no callback runs any more is this count of callbacks under way,
    // kept in a block the workers share, so that a worker can still count itself out after the
    // owner has destroyed the object. It is taken before `busy` is cleared and a callback is
    // looked up only after it was taken, so:
    //  - detaching: after SetCallback(nullptr, nullptr), once IsCallbackRunning() reads false,
    //    no callback with the old context runs or will run;
    //  - destroying: once `busy` reads false and then IsCallbackRunning() reads false, the worker
    //    is done with this object.
    // From inside a callback it reads true (that callback is running).
    bool IsCallbackRunning() const { return callbacksRunning->load() != 0; }
    // True while a worker may still touch this object: in that order, as above.
    bool InUse() const { return busy || IsCallbackRunning(); }

    // The state, readable by the owner and the callback; written only through the calls above
    // and by the worker. Counters and status are atomic so that the owner's thread may read them
    // while the worker runs.
    std::atomic<bool> busy{false};
    std::atomic<bool> stopRequested{false};
    bool querySize = false;
    DownloadPolicy policy;
    std::string url;
    std::wstring targetPath;
    // The body of a memory download: the first `received` bytes, NUL bytes included.
    std::string buffer;
    // 64-bit: setup programs of 4 GiB and more are downloaded too.
    std::atomic<uint64_t> totalSize{0};
    std::atomic<uint64_t> received{0};
    std::atomic<DownloadEvent> status{DownloadEvent::Idle};
    // Why the download failed: written by the worker before it sets status Failed, so an owner
    // that has read status Failed may read it (also from another thread). None otherwise.
    Failure failure;

private:
    // Written by the worker before it sets status Done.
    HeldFile completeFile;

    // Callback and context change together, so a worker never pairs one with the other's old
    // value.
    struct Listener {
        DownloadCallback callback;
        void* context;
    };
    using CallbackCount = std::atomic<long>;

    enum class Attempt { Done, Retry, Failed };
    class Sink;

    bool Start(const std::string& newUrl, const std::wstring& newTargetPath, bool newQuerySize,
               const DownloadPolicy& newPolicy);
    static DWORD WINAPI ThreadMain(void* parameter);
    void Run();
    DownloadEvent Fetch(HINTERNET session, CallbackCount& running);
    Attempt FetchOnce(HINTERNET connection, const std::string& object, DWORD flags, Sink& sink,
                      bool& accepted, std::string& validator, CallbackCount& running);
    UniqueInternet Send(HINTERNET connection, const std::string& object, DWORD flags, const std::string& headers,
                        DWORD* code);
    bool SendOnce(HINTERNET request, const std::string& headers, DWORD* code);
    std::optional<Attempt> ResumeOrRestart(HINTERNET request, DWORD code, const uint64_t* length, Sink& sink,
                                           std::string& validator);
    // DiskFull when the target's volume has no room for the `toCome` bytes still to come.
    std::optional<Attempt> RefuseWithoutRoom(uint64_t toCome);
    Attempt ReadBody(HINTERNET request, Sink& sink, CallbackCount& running);
    // Records why an attempt (and, if it is the last, the download) failed.
    Attempt Fail(Attempt how, FailureReason reason, uint32_t detail = 0) {
        failure = Failure{reason, detail};
        return how;
    }
    DownloadEvent FailDownload(FailureReason reason, uint32_t detail = 0) {
        failure = Failure{reason, detail};
        return DownloadEvent::Failed;
    }
    bool PauseBeforeAttempt(int attempt);
    void RaiseProgress(DownloadEvent event, CallbackCount& running);
    void RaiseFinal(DownloadEvent outcome, CallbackCount& running);
    void Notify();

    // Read by the worker for every block: a slim reader/writer lock costs no trip to the kernel
    // when nobody is changing it (a two-word std::atomic takes a lock of the atomics library
    // that, once contended, does).
    Listener listener;
    SRWLOCK listenerLock = SRWLOCK_INIT;
    const std::shared_ptr<CallbackCount> callbacksRunning;

    static_assert(std::atomic<bool>::is_always_lock_free && sizeof(std::atomic<bool>) == 1,
                  "the shared flags are single bytes");
    // The owner's thread reads the counters while the worker writes them, for every chunk. On
    // the 32-bit build a 64-bit atomic is lock-free only where the compiler may use CMPXCHG8B
    // (-march=i586 and later; the toolchain's default, pentiumpro, has it): otherwise every
    // access would take a lock of the atomics library, which under Wine costs trips to its
    // server once contended (see the listener below).
    static_assert(std::atomic<uint64_t>::is_always_lock_free, "the byte counters need no lock");
};
