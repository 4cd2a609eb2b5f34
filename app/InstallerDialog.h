#pragma once
// The installer's one window: its start-up (InstallerDialog.cpp) and the download session with
// the hand-over to the setup program (DownloadSession.cpp).
#include "controls/PercentProgressBar.h"
#include "controls/Picture.h"
#include "controls/SkinButton.h"
#include "framework/Dialog.h"
#include "resource.h"
#include "services/Downloader.h"

#include <atomic>
#include <string>

class InstallerDialog : public CDialog {
public:
    explicit InstallerDialog(CWnd* parent = nullptr);
    ~InstallerDialog() override;

    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void StartDownload(UINT id);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
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
    void StartSlideshow(const std::string& descriptionUrl);

    PercentProgressBar progress;
    HICON icon;
    Downloader setupDownloader;
    Downloader slideDownloader;
    UINT slideTimerId = 0;
    Picture background;
    std::string installerPath;
    std::string defaultInstallDir;
    std::string productName;
    unsigned affiliateId = 0;
    int skinId = 0;
    std::string remarks;
    std::string guid;
    std::string language;
    SkinButton languageButtons[13];
    SkinButton cancelButton;
    // Set by the setup worker when the setup program is about to run. From then on the window
    // stays hidden and nothing but the hand-over may end the process, or the installation
    // would go unrecorded.
    std::atomic<bool> handOverStarted{false};
};
