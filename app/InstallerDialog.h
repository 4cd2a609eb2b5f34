#pragma once
// The installer's one window: its start-up (InstallerDialog.cpp), the download session with
// the hand-over to the setup program (DownloadSession.cpp) and the background slideshow
// (Slideshow.cpp).
#include "app/ByteHandOver.h"
#include "app/SlideshowParser.h"
#include "controls/PercentProgressBar.h"
#include "controls/Picture.h"
#include "controls/SkinButton.h"
#include "framework/Dialog.h"
#include "resource.h"
#include "services/Downloader.h"

#include <atomic>
#include <list>
#include <string>

class InstallerDialog : public CDialog {
public:
    // silenceMs: how long a download may stay silent before an attempt fails.
    explicit InstallerDialog(CWnd* parent = nullptr, DWORD silenceMs = kDownloadSilenceMs);
    ~InstallerDialog() override;

    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void StartDownload(UINT id);
    // Gives `button` the rows of language bitmap `bitmapId`: the underlined middle row as its hot
    // image, the plain top row as its normal one.
    static void SplitLanguageBitmap(CDC* dc, UINT bitmapId, SkinButton* button);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    // The skin's colour: the window's fill, the status bar, the Cancel button's face.
    static constexpr COLORREF kSkinColor = RGB(5, 81, 21);

    void OnSysCommand(UINT id, LPARAM lParam);
    void OnPaint();
    BOOL OnEraseBkgnd(CDC* dc);
    void OnSize(UINT type, int cx, int cy);

    void AddAboutToSystemMenu();
    void SetUpProgressBar();
    void ReadAffiliateStamp();
    void MakeGuid();
    void LaunchInstalledGameAndExit();
    void LoadBackground(CDC& dc);
    void CreateLanguageButtons(CDC& dc);

    static int OnSetupDownloadEvent(Downloader* downloader, void* context);
    void HandOverToSetup();
    void ShowDownloadFailed();
    void DetachDownloaders();
    void CloseQuestion();
    DownloadPolicy SlidePolicy(uint32_t maxBytes) const;

    // Posted to the window by the slideshow's download worker once a body waits in its hand-over.
    static constexpr UINT WM_SLIDESHOW_DESCRIPTION = WM_APP + 1;
    static constexpr UINT WM_SLIDESHOW_PICTURE = WM_APP + 2;
    // Posted by the setup worker when the hand-over begins: a Cancel question still open is moot.
    static constexpr UINT WM_HANDOVER_STARTED = WM_APP + 3;
    void StartSlideshow(const std::string& descriptionUrl);
    static int OnSlideshowDescriptionEvent(Downloader* downloader, void* context);
    static int OnSlidePictureEvent(Downloader* downloader, void* context);
    void HandToWindow(Downloader& downloader, ByteHandOver& handOver, UINT message);
    void OnSlideshowDescriptionArrived();
    void ParseSlideshow(const std::string& text);
    void OnSlidePictureArrived();
    void OnTimer(UINT id);

    PercentProgressBar progress;
    HICON icon;
    Downloader setupDownloader;
    Downloader slideDownloader;
    UINT slideTimerId = 0;
    Picture background;
    // This program's own file; empty when the system cannot say.
    std::wstring ownPath;
    // Empty when no folder could be found for it.
    std::wstring installerPath;
    std::string defaultInstallDir;
    std::string productName;
    std::list<BackgroundSlide> slides;
    unsigned affiliateId = 0;
    int skinId = 0;
    std::string remarks;
    std::string guid;
    std::string language;
    SkinButton languageButtons[13];
    SkinButton cancelButton;
    DWORD silenceMs;
    // How the run ends, decided once: the setup worker claims the hand-over when the download is
    // complete, a confirmed Cancel claims the cancellation; whichever comes second gives way.
    // Once the hand-over is claimed the window stays hidden and nothing but the hand-over may
    // end the process, or the installation would go unrecorded.
    enum class Ending : uint8_t { None, Cancelled, HandOver };
    std::atomic<Ending> ending{Ending::None};
    bool Claim(Ending how) {
        Ending none = Ending::None;
        return ending.compare_exchange_strong(none, how);
    }
    // Bodies on their way from the slideshow's worker to the window's thread.
    ByteHandOver slideshowText;
    ByteHandOver slidePicture;
};
