#pragma once
// The installer's one window: its start-up (InstallerDialog.cpp), what the setup program's
// download session shows and how Cancel reaches it (InstallerDialogSession.cpp; the session
// itself is SetupSession, its work on other threads SetupWorkers) and the background slideshow
// (Slideshow.cpp).
#include "app/ByteHandOver.h"
#include "app/ProxyCredentials.h"
#include "app/SetupSession.h"
#include "app/SetupWorkers.h"
#include "app/SlideshowParser.h"
#include "controls/PercentProgressBar.h"
#include "controls/Picture.h"
#include "controls/SkinButton.h"
#include "framework/Dialog.h"
#include "resource.h"
#include "services/Downloader.h"

#include <list>
#include <string>

class InstallerDialog : public CDialog {
public:
    // silenceMs: how long a download may stay silent before an attempt fails.
    explicit InstallerDialog(CWnd* parent = nullptr, DWORD silenceMs = kDownloadSilenceMs);
    ~InstallerDialog() override;

    // Before the window exists: launches an installed product and ends the process, or learns
    // what the requests need and starts the English download, whose request is then on its way
    // while the window is made. DoModal shows what the session came to meanwhile.
    void BeginRun();
    // Ends the run begun as a failure: after a DoModal that could not make the window
    // (NoWindow), or when memory ran out outside the window's handlers (NoMemory); an ask for
    // proxy credentials still waiting is refused.
    void EndAsFailed(FailureReason why) noexcept {
        proxyCredentials.Close();
        session.EndAsFailed(why);
    }
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void StartDownload(UINT id);
    // Gives `button` the rows of language bitmap `bitmapId`: the underlined middle row as its hot
    // image, the plain top row as its normal one; at a `dpi` other than 96 both are resampled to
    // that scale.
    static void SplitLanguageBitmap(CDC* dc, UINT bitmapId, SkinButton* button, UINT dpi = 96);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    // A handler of this window, or of any other, ran out of memory: the run ends as a failure.
    void OnHandlerFailed() noexcept override { session.EndAsFailed(FailureReason::NoMemory); }

private:
    // The skin's colour: the window's fill, the status bar, the Cancel button's face.
    static constexpr COLORREF kSkinColor = RGB(5, 81, 21);

    void OnSysCommand(UINT id, LPARAM lParam);
    void OnPaint();
    BOOL OnEraseBkgnd(CDC* dc);
    void OnSize(UINT type, int cx, int cy);
    void OnDpiChanged(UINT newDpi, const RECT* suggested);
    BOOL OnGetDpiScaledSize(UINT newDpi, SIZE* size) const;

    void AddAboutToSystemMenu();
    void SetUpProgressBar();
    void LaunchInstalledGameAndExit();
    RequestValues RequestFor(const char* language) const;
    // False when the session refused the start (see SetupSession::Start).
    bool StartSetupDownload(UINT id);
    // The window's side of a started download: the bar instead of the buttons, and the slideshow.
    void ShowDownloadStarted();
    // The setup download's latest state, to the session.
    void ReadSetupDownload();
    void TakeScreenScale();
    void FitWindowToBackground();
    void CreateLanguageButtons(CDC& dc);
    void HideLanguageButtons();
    SIZE WindowSizeAt(UINT atDpi) const;
    void PlaceButtons(CDC& dc);
    void ScaleFonts();
    RECT CancelDesignPlace(CDC& dc) const;

    // What the setup session shows, on the window's thread.
    class SessionView : public SetupView {
    public:
        explicit SessionView(InstallerDialog& dialog) : dialog(dialog) {}
        void ShowProgress(unsigned percent) override;
        void ShowCaption(const char* caption) override;
        void ShowFailed() override;
        void Hide() override;
        void End() override;
        // A failure that came before the window existed (the download could not even start),
        // shown now that it does. Nothing else reaches the view before: the rest of the
        // session's news comes through the window.
        void ShowWhatCameBeforeWindow();

    private:
        InstallerDialog& dialog;
        bool failedBeforeWindow = false;
    };
    void CloseQuestion();
    DownloadPolicy SlidePolicy(uint32_t maxBytes);

    // Posted to the window by the slideshow's download worker once a body waits in its hand-over.
    static constexpr UINT WM_SLIDESHOW_DESCRIPTION = WM_APP + 1;
    static constexpr UINT WM_SLIDESHOW_PICTURE = WM_APP + 2;
    void StartSlideshow(const std::string& descriptionUrl);
    // No more pictures: the timer killed, the download stopped and detached, news ignored.
    void StopSlideshow();
    static int OnSlideshowDescriptionEvent(Downloader* downloader, void* context) noexcept;
    static int OnSlidePictureEvent(Downloader* downloader, void* context) noexcept;
    void HandToWindow(Downloader& downloader, ByteHandOver& handOver, UINT message) noexcept;
    void OnSlideshowDescriptionArrived();
    void ParseSlideshow(const std::string& text);
    void OnSlidePictureArrived();
    void OnTimer(UINT id);

    PercentProgressBar progress;
    // Loaded once the downloads have started.
    HICON icon = nullptr;
    // This program's own file; empty when the system cannot say.
    const std::wstring ownPath;
    // Every download of the run asks through it; destroyed after them.
    ProxyCredentials proxyCredentials;
    // Declared before the session, which uses it, and destroyed after it.
    SetupWorkers setupWork;
    SessionView sessionView{*this};
    SetupSession session{sessionView, setupWork};
    Downloader slideDownloader;
    UINT slideTimerId = 0;
    bool slideshowStopped = false;
    Picture background;
    // The screen's scale: the DPI the window is laid out for, the client area's size at 96 DPI
    // (every scale shows the same part of the start-up picture), and the DPI the dialog's font
    // was made for. Lengths in the code below are 96 DPI pixels, scaled with ScaleToDpi.
    UINT dpi = 96;
    SIZE designClient{0, 0};
    UINT fontDpi = 96;
    HFONT templateFont = nullptr;  // the dialog manager's, made from the template
    // The dialog's font remade for `dpi` once that differs from `fontDpi`; it is what the dialog
    // answers to WM_GETFONT then, so the status bar draws its text with it.
    UniqueGdiObject scaledFont;
    // Where the template put the Cancel button, at 96 DPI.
    RECT cancelDesign{0, 0, 0, 0};
    std::list<BackgroundSlide> slides;
    SkinButton languageButtons[13];
    SkinButton cancelButton;
    DWORD silenceMs;
    // Bodies on their way from the slideshow's worker to the window's thread.
    ByteHandOver slideshowText;
    ByteHandOver slidePicture;
};
