#include "app/InstallerApp.h"

#include "app/InstallerDialog.h"
#include "services/SystemDlls.h"

InstallerApp theApp;

// The dialog is the whole program: when it ends, so does the application, without a message loop
// of its own.
BOOL InstallerApp::InitInstance() {
    // Before anything can load a DLL by name: the program's folder may hold planted ones.
    RestrictDllSearchToSystemFolder();
    // The first request waits for WinINet, the longest load of the start-up: it loads on a
    // thread of its own while the rest of the start-up runs.
    LoadWinInetAhead();
#ifdef PELLMORROW_TEST_SILENCE_MS
    // The end-to-end tests' copy gives up on a silent server sooner, so that they need not wait
    // for the shipped bound at every case; the downloader's own tests hold the shipped one.
    InstallerDialog dialog(nullptr, PELLMORROW_TEST_SILENCE_MS);
#else
    InstallerDialog dialog(nullptr);
#endif
    dialog.BeginRun();
    // The window's DLLs load only now, with the setup program's request on its way.
    LoadThemeDlls();
    AfxInitWindowing();
    m_pMainWnd = &dialog;
    // No window (a system without the common controls): the run ends as a failed one.
    if (dialog.DoModal() == -1) dialog.EndWithoutWindow();
    m_pMainWnd = nullptr;
    return FALSE;
}
