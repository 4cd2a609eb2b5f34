// What the setup program's download session shows, and how the language buttons and Cancel
// reach it. The session (SetupSession) decides; its work on other threads is SetupWorkers';
// everything here runs on the window's thread.
#include "app/InstallerDialog.h"

#include "app/RequestUrls.h"
#include "app/ScreenScale.h"
#include "framework/Gdi.h"
#include "framework/WinApp.h"

#include <cstring>

namespace {

const char* const kLanguageCodes[] = {"DK", "EN", "FR", "DE", "HE", "IT", "ES",
                                      "SE", "TR", "RU", "NO", "FI", "NL"};

struct QuestionSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK MatchQuestion(HWND window, LPARAM param) noexcept {
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

// The bar is 20 pixels high, keeps 15 from both sides and its bottom 5 above the client area's
// (at 96 DPI; scaled at others).
void InstallerDialog::OnSize(UINT, int, int) {
    Default();
    if (!progress.m_hWnd) return;
    CRect client;
    GetClientRect(&client);
    const int side = ScaleToDpi(15, dpi), bottom = client.bottom - ScaleToDpi(5, dpi);
    progress.MoveWindow(side, bottom - ScaleToDpi(20, dpi), client.right - 2 * side, ScaleToDpi(20, dpi), TRUE);
}

// A language chosen while a download runs, or once the setup program runs, changes nothing.
void InstallerDialog::StartDownload(UINT id) {
    if (StartSetupDownload(id)) ShowDownloadStarted();
}

bool InstallerDialog::StartSetupDownload(UINT id) {
    if (id < ID_LANGUAGE_FIRST || id > ID_LANGUAGE_LAST) return false;
    const char* language = kLanguageCodes[id - ID_LANGUAGE_FIRST];
    return session.Start(SetupRequestUrl(RequestFor(language)), language);
}

RequestValues InstallerDialog::RequestFor(const char* language) const {
    const InstallRecord& record = setupWork.Record();
    return RequestValues{LoadResourceString(IDS_SERVER_HOST), record.affiliateId, record.skinId, language, record.remarks};
}

void InstallerDialog::ShowDownloadStarted() {
    HideLanguageButtons();
    progress.ShowWindow(SW_SHOW);
    StartSlideshow(SlideshowRequestUrl(RequestFor(session.Language().c_str())));
}

void InstallerDialog::ReadSetupDownload() {
    DownloadReport report = setupWork.TakeReport();
    session.OnDownload(report.status, report.received, report.total, report.failure);
}

void InstallerDialog::HideLanguageButtons() {
    for (SkinButton& button : languageButtons)
        if (button.m_hWnd) button.ShowWindow(SW_HIDE);
}

void InstallerDialog::SessionView::ShowWhatCameBeforeWindow() {
    if (failedBeforeWindow) ShowFailed();
    failedBeforeWindow = false;
}

void InstallerDialog::SessionView::ShowProgress(unsigned percent) {
    dialog.progress.SendMessage(PBM_SETPOS, percent);
}

void InstallerDialog::SessionView::ShowCaption(const char* caption) { dialog.progress.SetWindowText(caption); }

// The bar keeps its position; its unfilled part turns red and it shows the words alone.
void InstallerDialog::SessionView::ShowFailed() {
    if (!dialog.progress.m_hWnd) {
        failedBeforeWindow = true;
        return;
    }
    PercentProgressBar& progress = dialog.progress;
    progress.SetCaptionColor(RGB(255, 255, 255));
    progress.SetBackgroundColor(RGB(200, 0, 0));
    progress.percentAfterCaption = FALSE;
    progress.SetWindowText("Download failed!");
}

// The Cancel question, if it is open, ends as if answered Yes: either the setup program is
// starting and it is moot, or the window goes anyway.
void InstallerDialog::SessionView::Hide() {
    dialog.CloseQuestion();
    dialog.ShowWindow(SW_HIDE);
    dialog.StopSlideshow();
}

// The slideshow's download was stopped with the window; a worker still stuck in a read half a
// second later ends with the process.
void InstallerDialog::SessionView::End() {
    SetupWorkers::WaitUntilIdle(dialog.slideDownloader, 500);
    dialog.CDialog::OnCancel();
}

void InstallerDialog::OnCancel() {
    switch (session.OnCancelPressed()) {
    case SetupSession::CancelStep::Ignore:
        return;
    case SetupSession::CancelStep::Ask:
        if (MessageBox("Do you want to continue downloading?", "Warning", MB_YESNO) != IDNO) return;
        break;
    case SetupSession::CancelStep::Cancel:
        break;
    }
    // The download may have completed while the question was open: then the hand-over has it.
    session.Cancel();
}

void InstallerDialog::CloseQuestion() {
    HWND question = FindQuestion(m_hWnd);
    if (question) ::EndDialog(question, IDYES);
}
