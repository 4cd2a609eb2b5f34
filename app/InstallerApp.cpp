#include "app/InstallerApp.h"

#include "app/InstallerDialog.h"

InstallerApp theApp;

// The dialog is the whole program: when it ends, so does the application, without a message loop
// of its own.
BOOL InstallerApp::InitInstance() {
    InstallerDialog dialog(nullptr);
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
