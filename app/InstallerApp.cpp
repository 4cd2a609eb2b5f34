#include "app/InstallerApp.h"

#include "app/InstallerDialog.h"
#include "services/SystemDlls.h"

InstallerApp theApp;

// The dialog is the whole program: when it ends, so does the application, without a message loop
// of its own.
BOOL InstallerApp::InitInstance() {
#ifdef PELLMORROW_TEST_SILENCE_MS
    // The end-to-end tests' copy gives up on a silent server sooner, so that they need not wait
    // for the shipped bound at every case; the downloader's own tests hold the shipped one.
    InstallerDialog dialog(nullptr, PELLMORROW_TEST_SILENCE_MS);
#else
    InstallerDialog dialog(nullptr);
#endif
    try {
        dialog.BeginRun();
        // The window's DLLs load only now, with the setup program's request on its way.
        LoadThemeDlls();
        AfxInitWindowing();
        m_pMainWnd = &dialog;
        // No window (a system without the common controls): the run ends as a failed one.
        if (dialog.DoModal() == -1) dialog.EndAsFailed(FailureReason::NoWindow);
    } catch (...) {
        // Out of memory before or around the window (its own handlers end the run themselves).
        dialog.EndAsFailed(FailureReason::NoMemory);
    }
    m_pMainWnd = nullptr;
    return FALSE;
}
