#pragma once
// The installer's one window: from its start-up to the download session.
#include "controls/PercentProgressBar.h"
#include "controls/Picture.h"
#include "controls/SkinButton.h"
#include "framework/Dialog.h"
#include "resource.h"

#include <string>

class InstallerDialog : public CDialog {
public:
    explicit InstallerDialog(CWnd* parent = nullptr);

    BOOL OnInitDialog() override;
    void OnOK() override;
    void StartDownload(UINT id);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnSysCommand(UINT id, LPARAM lParam);
    void OnPaint();
    BOOL OnEraseBkgnd(CDC* dc);

    void AddAboutToSystemMenu();
    void SetUpProgressBar();
    void ReadAffiliateStamp();
    void MakeGuid();
    void LaunchInstalledGameAndExit();
    void LoadBackground(CDC& dc);
    void CreateLanguageButtons(CDC& dc);

    PercentProgressBar progress;
    HICON icon;
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
};
