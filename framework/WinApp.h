#pragma once
// The application object. WinMain (WinMain.cpp) runs the one CWinApp: InitInstance, and the
// message loop only if InitInstance asks for it. InitInstance calls AfxInitWindowing before its
// first window.
#include "framework/Wnd.h"

#include <string>

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // FALSE ends the application without a message loop.
    virtual BOOL InitInstance() { return TRUE; }
    virtual int Run();
    virtual int ExitInstance() { return exitCode_; }

    CWnd* m_pMainWnd = nullptr;

private:
    int exitCode_ = 0;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
// What WinMain does: returns the process exit code (-1 when the application ran out of memory
// outside everything that handles it).
int AfxWinMain() noexcept;
// OLE (for the picture loader) on this thread and the common controls (the progress bar,
// subclassing, tooltips), until the application ends. Loading their DLLs is the costliest step of
// a start-up: an application may do what needs no window first.
void AfxInitWindowing();
// A string-table entry of the program; empty when there is none.
std::string LoadResourceString(UINT id);
