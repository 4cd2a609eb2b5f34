#pragma once
// The application object. WinMain (WinMain.cpp) initialises OLE and the common controls, then
// runs the one CWinApp: InitInstance, and the message loop only if InitInstance asks for it.
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
// What WinMain does: returns the process exit code.
int AfxWinMain();
// A string-table entry of the program; empty when there is none.
std::string LoadResourceString(UINT id);
