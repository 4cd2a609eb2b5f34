#pragma once
// The setup program's download from its start to the end of the run: start, progress, failure,
// the decision between Cancel and the hand-over, and the hand-over itself. Free of window code:
// the window and the work on other threads are reached through the two interfaces below, so
// that every ending can be tested natively.
//
// Threads: every call into the session, and every call it makes, happens on the window's
// thread. Workers never call it: they post what happened, and the window's thread hands that to
// OnDownload and OnChecked.
#include "app/RequestUrls.h"
#include "services/DownloadTypes.h"

#include <cstdint>
#include <string>

// What the session shows.
class SetupView {
public:
    virtual ~SetupView() = default;
    virtual void ShowProgress(unsigned percent) = 0;
    virtual void ShowCaption(const char* caption) = 0;
    // The failed look, with "Download failed!".
    virtual void ShowFailed() = 0;
    // The window goes from the screen for good: hidden, its slideshow stopped, and a Cancel
    // question still open closed as if answered Yes.
    virtual void Hide() = 0;
    // The run is over without a hand-over: the window's dialog ends.
    virtual void End() = 0;
};

// The work the session has done elsewhere. Each call returns at once, except StopDownload.
class SetupWork {
public:
    virtual ~SetupWork() = default;
    // A millisecond clock.
    virtual uint32_t Now() = 0;
    // Starts fetching `url` into `path`; false, with the reason, when no download could start.
    virtual bool StartDownload(const std::string& url, const std::wstring& path, Failure* failure) = 0;
    // Asks a running download to stop and waits a bounded time for its worker to let go of the
    // file; true when it has (a partial file is then gone).
    virtual bool StopDownload() = 0;
    // Deletes a complete download that nothing holds.
    virtual void DeleteProgram(const std::wstring& path) = 0;
    // Checks that the complete program holds the bytes written and is its publisher's; from
    // here on nobody can change it until the check lets go of it. The verdict comes back
    // through OnChecked.
    virtual void StartCheck(const std::wstring& path) = 0;
    // The check lets go of the program, and it is deleted.
    virtual void DiscardProgram(const std::wstring& path) = 0;
    // Runs the checked program, waits for it, deletes it, records the installation for
    // `language`, tells the server how the setup program ended (with the download's seconds)
    // and ends the process, all away from the window's thread.
    virtual void StartHandOver(const std::wstring& path, const std::string& language, uint32_t downloadSeconds) = 0;
    // Tells the server once how a run that did not hand over ended, for `language`; returns at
    // once. The process gives the request a short bound when it ends.
    virtual void SendResult(const RunResult& result, const std::string& language) = 0;
};

class SetupSession {
public:
    enum class Stage : uint8_t {
        Idle,         // nothing started yet
        Downloading,  // the download runs
        Checking,     // the program is complete; its bytes and its publisher are being checked
        HandOver,     // the setup program runs: nothing else may end the process
        Failed,       // "Download failed!": the window waits for the user
        Cancelled,    // the user cancelled; the window is gone
    };
    enum class CancelStep : uint8_t {
        Ignore,  // too late: the setup program runs
        Ask,     // ask whether to go on downloading, and Cancel only on No
        Cancel,  // nothing to lose: Cancel at once
    };

    SetupSession(SetupView& view, SetupWork& work) : view(view), work(work) {}
    SetupSession(const SetupSession&) = delete;
    SetupSession& operator=(const SetupSession&) = delete;

    // Where the setup program is written; empty when there is no folder for it.
    void SetTarget(const std::wstring& path) { target = path; }

    // Starts the download of `url` for `language`. Refused (false, nothing changes, not even the
    // language) unless nothing was started yet or the last download failed.
    bool Start(const std::string& url, const std::string& language);
    // The download's state as its worker last reported it.
    void OnDownload(DownloadEvent status, uint64_t received, uint64_t total, const Failure& failure);
    // The check's verdict on the complete program: no failure when it may run, else why not
    // (the program changed, could not be read, or its signature was refused).
    void OnChecked(const Failure& verdict);

    CancelStep OnCancelPressed() const;
    // Cancels, unless the hand-over came first (false). The window hides at once; the dialog
    // ends once nothing of the download is left on disk.
    bool Cancel();
    // Ends the run as Cancel does, as a failure for the server with `why`: there is no window to
    // show it (it could not be made), or no memory to go on (NoMemory). False, and nothing
    // changes, once the hand-over has come or the run has ended.
    bool EndAsFailed(FailureReason why);

    Stage CurrentStage() const { return stage; }
    // The language of the download that runs or ran.
    const std::string& Language() const { return language; }
    // Why the run did not install; None while it may still.
    const Failure& LastFailure() const { return failure; }
    // From the accepted start to the complete download or the failure; so far, while it runs.
    uint32_t DurationMs();

    static constexpr const char* kConnecting = "Connecting to server...";
    static constexpr const char* kInProgress = "Download in progress...";
    static constexpr const char* kInstalling = "Installing...";
    // The bar repaints for each new position, which under Wine costs as much CPU as a large
    // share of a fast download: a new percentage is shown at most once a frame (about 60 a
    // second, all a screen can show), and always the last one.
    static constexpr uint32_t kFrameMs = 16;

private:
    bool End(FailureReason why);
    void Fail(const Failure& why);
    void StopClock();
    uint32_t DurationSeconds() { return (DurationMs() + 500) / 1000; }
    void ShowPercent(DownloadEvent status, uint64_t received, uint64_t total);

    SetupView& view;
    SetupWork& work;
    std::wstring target;
    std::string language;
    Stage stage = Stage::Idle;
    Failure failure;
    // The last status acted on, for the captions.
    DownloadEvent shownStatus = DownloadEvent::Idle;
    // The percentage last shown (-1: none yet) and when.
    int shownPercent = -1;
    uint32_t shownAt = 0;
    uint32_t startedAt = 0;
    uint32_t endedAt = 0;
    bool clockRunning = false;
};
