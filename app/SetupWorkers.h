#pragma once
// The setup session's work away from the window's thread: the download on its worker, the
// publisher check and the hand-over to the setup program, each on a thread of its own. Workers
// touch no window: they post what happened to the window, whose thread hands it to the session.
#include "app/PostedNews.h"
#include "app/RunReport.h"
#include "app/SetupSession.h"
#include "services/Downloader.h"
#include "services/KeptDownload.h"
#include "services/PublisherCheck.h"
#include "services/RunFolder.h"

#include <windows.h>

#include <atomic>
#include <string>

// What the registry records of an installation, besides the language.
struct InstallRecord {
    std::string productName;
    // The product's name as the folder it installs into is named (see DefaultInstallDir).
    std::wstring productFolder;
    unsigned affiliateId = 0;
    int skinId = 0;
    std::string remarks;
    // Made at the hand-over, which records it; nothing before needs it.
    std::string guid;
};

// The download's state as the window's thread reads it.
struct DownloadReport {
    DownloadEvent status;
    uint64_t received;
    uint64_t total;
    Failure failure;
};

class SetupWorkers : public SetupWork {
public:
    // Posted to the window: the download has news (wParam, lParam 0), and the check's verdict
    // (wParam: the FailureReason, None when the program may run; lParam: its detail).
    static constexpr UINT WM_SETUP_DOWNLOAD = WM_APP + 3;
    static constexpr UINT WM_SETUP_CHECKED = WM_APP + 4;

    // `record` and `ownPath` (this program's file, whose signer the check compares with the
    // setup program's; empty when unknown) are the run's; `serverHost` is the server's host as
    // the requests name it; `silenceMs` bounds the setup download's silences; `proxyPrompt`
    // answers a proxy that asks who the user is.
    SetupWorkers(InstallRecord record, std::wstring ownPath, std::string serverHost, DWORD silenceMs,
                 ProxyPrompt* proxyPrompt = nullptr);
    // Gives the result request what is left of its bound, then ends the process when a worker
    // still uses this object (see Downloader's "Leaving").
    ~SetupWorkers() override;
    SetupWorkers(const SetupWorkers&) = delete;
    SetupWorkers& operator=(const SetupWorkers&) = delete;

    const InstallRecord& Record() const { return record; }
    // Makes the run's own folder in `parent` (see RunFolder); the path of the setup program in
    // it, empty when no folder could be made.
    std::wstring MakeProgramPath(const std::wstring& parent);
    // Where news goes from now on. The download starts before the window exists: called by the
    // window's thread while the worker runs, before the window's first TakeReport, which reads
    // the news raised until then.
    void SendNewsTo(HWND newsWindow) { window = newsWindow; }

    // Waits for the result request until its answer or its bound; at once when none is under way.
    void FinishResult() { result.Finish(); }

    // Waits at most `ms` for the download's first answer (or its end); at once when no download
    // runs. Until its request is out, the worker asks the system's loader for DLLs now and then,
    // and each time waits for any DLL that another thread is loading: the window's DLLs, loaded
    // after this, do not hold the request up.
    void WaitUntilDownloadAnswered(DWORD ms);

    // On the window's thread, for WM_SETUP_DOWNLOAD: the latest state; news that comes after
    // this read is posted again.
    DownloadReport TakeReport();

    // Waits at most `ms` for a detached downloader's worker to be done with it, serving the
    // messages that other threads send to this thread's windows meanwhile; true when it is.
    static bool WaitUntilIdle(const Downloader& downloader, DWORD ms);

    uint32_t Now() override { return GetTickCount(); }
    bool StartDownload(const std::string& url, const std::wstring& path, Failure* failure) override;
    bool StopDownload() override;
    void DeleteProgram(const std::wstring& path) override;
    void StartCheck(const std::wstring& path) override;
    void DiscardProgram(const std::wstring& path) override;
    void StartHandOver(const std::wstring& path, const std::string& language, uint32_t downloadSeconds) override;
    void SendResult(const RunResult& result, const std::string& language) override;

private:
    // The result request, destroyed after the folder: a request still under way when its bound
    // is up ends the process (see RunReport), which must not leave the folder behind.
    RunReport result;
    // The setup program's folder; destroyed last, once nothing holds the program in it.
    RunFolder folder;
    std::atomic<HWND> window{nullptr};
    InstallRecord record;
    const std::wstring ownPath;
    const std::string serverHost;
    const DWORD silenceMs;
    ProxyPrompt* const proxyPrompt;

    static int OnDownloadEvent(Downloader* downloader, void* context) noexcept;
    static DWORD WINAPI CheckMain(void* parameter) noexcept;
    static DWORD WINAPI HandOverMain(void* parameter) noexcept;
    // Each runs on its own thread, or here when none can be had: one copy of each. Nothing
    // leaves them by an exception: the check throws nothing, and the hand-over ends the process
    // whatever happens.
    [[gnu::noinline]] void Check() noexcept;
    [[noreturn, gnu::noinline]] void HandOver() noexcept;
    // Records the installation of a setup program built for `machine`.
    void RecordInstallation(WORD machine);

    // Where the setup program's bytes are kept when its download fails for a reason that may
    // pass, and where the next run goes on from them; made before the downloader, so that it
    // outlives the worker's use.
    KeptDownload kept;
    Downloader downloader;
    // Set at the download's first news after Connecting (see WaitUntilDownloadAnswered).
    UniqueHandle downloadAnswered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> answered{false};
    // A fast download never floods the window's queue: one WM_SETUP_DOWNLOAD at a time, progress
    // at most once a frame, and the report is read when it arrives.
    PostedNews downloadNews;
    // What the check and the hand-over work on; written before their thread starts.
    HeldFile complete;
    PublisherCheck check;
    std::atomic<bool> checking{false};
    std::wstring program;
    std::string language;
    uint32_t downloadSeconds = 0;
};
