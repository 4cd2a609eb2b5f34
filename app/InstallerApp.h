#pragma once
#include "framework/WinApp.h"

class InstallerApp : public CWinApp {
public:
    BOOL InitInstance() override;
};
