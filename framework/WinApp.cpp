#include "framework/WinApp.h"

#include <commctrl.h>
#include <ole2.h>

namespace {
CWinApp* theApplication = nullptr;
bool oleInitialized = false;
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

int AfxWinMain() noexcept {
    CWinApp* app = AfxGetApp();
    if (!app) return -1;
    int exitCode = -1;
    try {
        exitCode = app->InitInstance() ? app->Run() : app->ExitInstance();
    } catch (...) {
        // Out of memory where the application had nothing to end yet: the program ends as one
        // that failed. Nothing may unwind into the runtime's start-up code that called WinMain.
    }
    if (oleInitialized) OleUninitialize();
    return exitCode;
}

void AfxInitWindowing() {
    if (!oleInitialized) oleInitialized = SUCCEEDED(OleInitialize(nullptr));
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
}

std::string LoadResourceString(UINT id) {
    char text[1024];
    int length = LoadStringA(AfxGetResourceHandle(), id, text, sizeof(text));
    return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}
