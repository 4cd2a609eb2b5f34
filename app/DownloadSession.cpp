// The download session: the setup program and the slideshow description are fetched side by
// side; the setup download drives the status bar, and once it is complete the setup program is
// run, the installation recorded and the process ended.
#include "app/InstallerDialog.h"

#include "app/RequestUrls.h"
#include "framework/Gdi.h"
#include "framework/WinApp.h"
#include "services/PublisherCheck.h"
#include "services/RegistryKey.h"

#include <objbase.h>
#include <shellapi.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const char* const kLanguageCodes[] = {"DK", "EN", "FR", "DE", "HE", "IT", "ES",
                                      "SE", "TR", "RU", "NO", "FI", "NL"};
// How long a confirmed Cancel waits for the downloads to wind down. A worker still inside a
// network read then is not waited out: the process ends under it, and the system deletes its
// partial file.
constexpr DWORD kCancelWaitMs = 500;
// The setup download tries this often in all before "Download failed!".
constexpr int kSetupAttempts = 3;

// Set by the setup worker once the download has failed: closing then asks nothing.
std::atomic<bool> failedFlag{false};
// The last event the setup callback acted on; touched by the setup worker only.
int lastSetupEvent = -1;
// The percentage last sent to the bar, and when; touched by the setup worker only. The bar
// repaints for each new position, which under Wine costs as much CPU as a large share of a fast
// download, so the worker sends a new percentage at most once a frame (about 60 a second, all
// a screen can show) and always the last one of the download; and it does not wait while the
// bar repaints: the message is sent without waiting, in order with the captions sent after it.
uint64_t lastSetupPercent = UINT64_MAX;
DWORD lastSetupPercentTime = 0;
constexpr DWORD kFrameMs = 16;

// Runs a program and waits for it to end; false when it could not be started.
bool RunAndWait(const wchar_t* file, const wchar_t* parameters) {
    // The shell may hand the request to extensions that expect COM on the calling thread.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // No error box: the window is hidden and nobody may be there to answer it; a setup that
    // cannot start is recorded all the same.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_CONNECTNETDRV | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = file;
    info.lpParameters = parameters;
    info.nShow = SW_SHOW;
    bool started = ShellExecuteExW(&info);
    if (started && info.hProcess) {
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hProcess);
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return started;
}

// Waits until `done` holds or the time is up, serving the messages that workers send to this
// thread's windows meanwhile (a worker's callback may be waiting on one). Input stays queued.
template <typename Done>
bool WaitServingSentMessages(Done done, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeoutMs) return false;
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
    }
    return true;
}

struct QuestionSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK MatchQuestion(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<QuestionSearch*>(param);
    char title[16] = {};
    ::GetWindowTextA(window, title, sizeof(title));
    if (::GetWindow(window, GW_OWNER) != search->owner || std::strcmp(title, "Warning") != 0) return TRUE;
    search->found = window;
    return FALSE;
}

// The Cancel question box owned by `owner`, on this thread; null when none is open.
HWND FindQuestion(HWND owner) {
    QuestionSearch search{owner, nullptr};
    EnumThreadWindows(GetCurrentThreadId(), MatchQuestion, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

void InstallerDialog::SetUpProgressBar() {
    progress.SendMessage(PBM_SETPOS, 0);
    progress.SetTextVisible(TRUE);
    progress.SetBarColor(kSkinColor);
}

// The bar keeps 15 pixels from both sides and its bottom 5 pixels above the client area's.
void InstallerDialog::OnSize(UINT, int, int) {
    Default();
    if (!progress.m_hWnd) return;
    CRect client;
    GetClientRect(&client);
    progress.MoveWindow(15, client.bottom - 25, client.right - 30, 20, TRUE);
}

void InstallerDialog::StartDownload(UINT id) {
    if (id < ID_LANGUAGE_FIRST || id > ID_LANGUAGE_LAST) return;
    language = kLanguageCodes[id - ID_LANGUAGE_FIRST];
    RequestValues request{LoadResourceString(IDS_SERVER_HOST), affiliateId, skinId, language, remarks};

    for (SkinButton& button : languageButtons)
        if (button.m_hWnd) button.ShowWindow(SW_HIDE);
    progress.ShowWindow(SW_SHOW);

    if (installerPath.empty()) {
        // No folder could be found for the setup program: nothing is fetched, nothing written.
        ShowDownloadFailed();
    } else {
        // A downloader that is still busy refuses the start and its download goes on; one that
        // could not start its worker raised no event, and says so here.
        setupDownloader.SetCallback(OnSetupDownloadEvent, this);
        DownloadPolicy policy;
        policy.silenceMs = silenceMs;
        policy.attempts = kSetupAttempts;
        if (!setupDownloader.DownloadToFile(SetupRequestUrl(request), installerPath, true, policy) &&
            !setupDownloader.busy)
            ShowDownloadFailed();
    }
    StartSlideshow(SlideshowRequestUrl(request));
}

int InstallerDialog::OnSetupDownloadEvent(Downloader* downloader, void* context) {
    auto* dialog = static_cast<InstallerDialog*>(context);
    uint32_t total = downloader->totalSize;
    if (total > 0) {
        uint64_t percent = uint64_t{downloader->received} * 100 / total;
        DownloadEvent event = downloader->status;
        bool last = event == DownloadEvent::Done || event == DownloadEvent::Failed || percent >= 100;
        DWORD now = GetTickCount();
        // Only ever forward: a download that starts again from zero leaves the bar where it was.
        bool forward = lastSetupPercent == UINT64_MAX || percent > lastSetupPercent;
        if (forward && (last || now - lastSetupPercentTime >= kFrameMs)) {
            lastSetupPercent = percent;
            lastSetupPercentTime = now;
            dialog->progress.SendNotifyMessage(PBM_SETPOS, static_cast<WPARAM>(percent));
        }
    }
    int code = static_cast<int>(downloader->status.load());
    if (code == lastSetupEvent) return 1;
    lastSetupEvent = code;
    switch (static_cast<DownloadEvent>(code)) {
    case DownloadEvent::Connecting:
        dialog->progress.SetWindowText("Connecting to server...");
        break;
    case DownloadEvent::InProgress:
        dialog->progress.SetWindowText("Download in progress...");
        break;
    case DownloadEvent::Failed:
        dialog->ShowDownloadFailed();
        break;
    case DownloadEvent::Done:
        dialog->HandOverToSetup();
        break;
    default:
        break;
    }
    return 1;
}

// The bar keeps its position; its unfilled part turns red and it shows the words alone.
void InstallerDialog::ShowDownloadFailed() {
    progress.SetCaptionColor(RGB(255, 255, 255));
    progress.SetBackgroundColor(RGB(200, 0, 0));
    progress.percentAfterCaption = FALSE;
    // Before the words: a user who sees them and closes the window at once must not be asked.
    failedFlag = true;
    progress.SetWindowText("Download failed!");
}

// Runs on the setup worker, inside the final callback, while the window's thread still runs the
// hidden dialog. Everything after the setup program ends is done whatever it did.
void InstallerDialog::HandOverToSetup() {
    // What runs is what was checked: the file stays unchangeable until the setup has ended. A
    // setup program that a signed installer's publisher did not sign ends the run as a failed
    // download: deleted, never run, nothing recorded.
    PublisherCheck setup;
    if (!setup.Check(ownPath, installerPath)) {
        setup.Release();
        DeleteFileW(installerPath.c_str());
        ShowDownloadFailed();
        return;
    }
    if (!Claim(Ending::HandOver)) {
        // Cancel was confirmed first: the complete setup program is not wanted either.
        setup.Release();
        DeleteFileW(installerPath.c_str());
        return;
    }
    PostMessage(WM_HANDOVER_STARTED);
    progress.SetWindowText("Installing...");
    ShowWindow(SW_HIDE);
    {
        // A folder recorded by an earlier, broken installation must not pass for the one this
        // setup program chooses.
        RegistryKey key;
        if (key.Open("Software", HKEY_CURRENT_USER) && key.Open(productName.c_str(), key.Handle()))
            key.DeleteValue("installDir");
    }
    RunAndWait(installerPath.c_str(), L"/SILENT");
    setup.Release();
    DeleteFileW(installerPath.c_str());
    {
        RegistryKey key;
        if (key.Open("Software", HKEY_CURRENT_USER) && key.OpenOrCreate(productName.c_str(), key.Handle())) {
            key.WriteDword("affId", affiliateId);
            key.WriteDword("skinId", static_cast<DWORD>(skinId));
            key.WriteString("remarks", remarks);
            key.WriteString("lang", language);
            // The setup program knows where it installed (a 32-bit setup on 64-bit Windows
            // chooses "Program Files (x86)"): a folder it recorded itself is kept.
            std::string chosen;
            if (!key.ReadString("installDir", chosen) || chosen.empty())
                key.WriteString("installDir", defaultInstallDir);
            key.WriteString("guid", guid);
        }
    }
    // The installation is recorded. End here, from this thread, without waiting on the window's
    // thread or running anything that thread might be holding a lock for.
    TerminateProcess(GetCurrentProcess(), 1);
}

void InstallerDialog::OnCancel() {
    // Once the setup program runs it is too late: nothing to ask, nothing to stop.
    if (ending != Ending::None) return;
    if (!failedFlag &&
        MessageBox("Do you want to continue downloading?", "Warning", MB_YESNO) != IDNO)
        return;
    // The download may have completed while the question was open: then the hand-over has it.
    if (!Claim(Ending::Cancelled)) return;
    // The window goes at once, whatever the network does.
    ShowWindow(SW_HIDE);
    if (slideTimerId != 0) {
        KillTimer(slideTimerId);
        slideTimerId = 0;
    }
    setupDownloader.Stop();
    slideDownloader.Stop();
    DetachDownloaders();
    // A download that completed just before the stop leaves a whole setup program: not wanted.
    // While the worker still holds the file this fails, and the system deletes it instead.
    if (!setupDownloader.busy) DeleteFileW(installerPath.c_str());
    CDialog::OnCancel();
}

// After this no callback runs with this dialog, and a stopped download has removed its partial
// file, unless a worker is stuck in a network read for longer than the wait.
void InstallerDialog::DetachDownloaders() {
    setupDownloader.SetCallback(nullptr, nullptr);
    slideDownloader.SetCallback(nullptr, nullptr);
    WaitServingSentMessages(
        [this] {
            return !setupDownloader.busy && !slideDownloader.busy && !setupDownloader.IsCallbackRunning() &&
                   !slideDownloader.IsCallbackRunning();
        },
        kCancelWaitMs);
}

// The Cancel question, if it is open on this thread, ends as if answered Yes: the download it
// asks about is complete and the setup program is starting.
void InstallerDialog::CloseQuestion() {
    HWND question = FindQuestion(m_hWnd);
    if (question) ::EndDialog(question, IDYES);
}
