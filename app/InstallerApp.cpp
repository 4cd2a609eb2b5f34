#include "app/InstallerApp.h"

#include "app/InstallerDialog.h"
#include "services/SystemDlls.h"

#ifdef PELLMORROW_TEST_SILENCE_MS
#include <cstdlib>
#include <vector>

namespace {
// The end-to-end tests' copy can be told to run out of memory in the window's handler of the
// setup download's Nth news (PELLMORROW_TEST_NO_MEMORY_AT_NEWS=N), where a real shortage
// would strike: while Windows' own code is calling the window.
class FaultyInstallerDialog : public InstallerDialog {
public:
    using InstallerDialog::InstallerDialog;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == SetupWorkers::WM_SETUP_DOWNLOAD && ++news == failAt) {
            std::vector<char> block;
            block.reserve(block.max_size());
            allocated = block.data();
        }
        return InstallerDialog::WindowProc(message, wParam, lParam);
    }

private:
    static int FailAt() {
        char text[16] = {};
        return GetEnvironmentVariableA("PELLMORROW_TEST_NO_MEMORY_AT_NEWS", text, sizeof(text)) ? std::atoi(text) : 0;
    }
    int news = 0;
    const int failAt = FailAt();
    void* volatile allocated = nullptr;
};
}  // namespace
#endif

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
    FaultyInstallerDialog dialog(nullptr, PELLMORROW_TEST_SILENCE_MS);
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
