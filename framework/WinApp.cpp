#include "framework/WinApp.h"

#include <commctrl.h>
#include <ole2.h>

namespace {
CWinApp* theApplication = nullptr;
}

CWinApp::CWinApp() { theApplication = this; }

CWinApp::~CWinApp() {
    if (theApplication == this) theApplication = nullptr;
}

int CWinApp::Run() {
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    exitCode_ = static_cast<int>(message.wParam);
    return ExitInstance();
}

CWinApp* AfxGetApp() { return theApplication; }

HINSTANCE AfxGetResourceHandle() { return GetModuleHandleA(nullptr); }

int AfxWinMain() {
    CWinApp* app = AfxGetApp();
    if (!app) return -1;
    // OLE for the picture loader, common controls for the progress bar, subclassing, tooltips.
    HRESULT ole = OleInitialize(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    int exitCode = app->InitInstance() ? app->Run() : app->ExitInstance();
    if (SUCCEEDED(ole)) OleUninitialize();
    return exitCode;
}

std::string LoadResourceString(UINT id) {
    char text[1024];
    int length = LoadStringA(AfxGetResourceHandle(), id, text, sizeof(text));
    return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}
