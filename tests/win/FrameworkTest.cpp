// The framework layer on real windows: dialogs from a template, controls tied to their objects,
// Default(), reflection, and the end of a window's life.
#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "framework/Gdi.h"
#include "framework/Handles.h"
#include "framework/WinApp.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> events;

// Common controls are Unicode windows, and a subclassed window gets its text messages in the
// window's own character set, whatever the sender used.
std::string MessageText(HWND window, LPARAM lParam) {
    if (!IsWindowUnicode(window)) return reinterpret_cast<const char*>(lParam);
    char text[256] = {};
    WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const WCHAR*>(lParam), -1, text, sizeof(text), nullptr, nullptr);
    return text;
}

class RecordingButton : public CButton {
public:
    HBRUSH brush = nullptr;
    bool subclassedBeforePreSubclass = true;
    HWND windowAtPreSubclass = nullptr;
    UINT drawnId = 0;

protected:
    void PreSubclassWindow() override {
        windowAtPreSubclass = m_hWnd;
        subclassedBeforePreSubclass = FromHandlePermanent(m_hWnd) != nullptr;
    }
    LRESULT WindowProc(UINT message, WPARAM, LPARAM lParam) override {
        if (message == WM_SETTEXT) events.push_back("button text " + MessageText(m_hWnd, lParam));
        return Default();
    }
    bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override {
        switch (message) {
        case WM_COMMAND:
            events.push_back("button sees click");
            return false;  // the parent acts on the click too
        case WM_CTLCOLORBTN:
            *result = reinterpret_cast<LRESULT>(brush);
            return brush != nullptr;
        case WM_DRAWITEM:
            drawnId = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)->CtlID;
            *result = TRUE;
            return true;
        }
        (void)wParam;
        return false;
    }
};

// Runs `body` inside OnInitDialog of a dialog on the main template, then ends the dialog the way
// the body chooses (or with IDABORT).
class TestDialog : public CDialog {
public:
    explicit TestDialog(void (*body)(TestDialog&)) : CDialog(IDD_INSTALLER_DIALOG), body_(body) {}
    RecordingButton cancel;
    CWnd progress;
    CBrush cancelBrush{RGB(1, 2, 3)};
    bool sawCtlColorButton = false;
    int unhandledSeen = 0;

    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        body_(*this);
        return TRUE;
    }
    void OnCancel() override {
        events.push_back("dialog cancel");
        CDialog::OnCancel();
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Control(pDX, IDC_PROGRESS, progress);
        DDX_Control(pDX, IDCANCEL, cancel);
    }
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        switch (message) {
        case WM_APP:
            return 1234;
        case WM_CTLCOLORBTN:
            sawCtlColorButton = true;
            break;
        case WM_APP + 77:
            ++unhandledSeen;
            break;
        }
        return CDialog::WindowProc(message, wParam, lParam);
    }

private:
    void (*body_)(TestDialog&);
};

TEST(Dialog, BindsControlsAndEndsThroughCancel) {
    events.clear();
    static HWND dialogWindow, cancelWindow;
    TestDialog dialog([](TestDialog& d) {
        dialogWindow = d.m_hWnd;
        cancelWindow = d.cancel.m_hWnd;
        EXPECT_EQ(d.cancel.m_hWnd, ::GetDlgItem(d.m_hWnd, IDCANCEL));
        EXPECT_EQ(d.progress.m_hWnd, ::GetDlgItem(d.m_hWnd, IDC_PROGRESS));
        EXPECT_EQ(CWnd::FromHandlePermanent(d.cancel.m_hWnd), &d.cancel);
        // A click reaches the button's object first, then the dialog, which ends.
        d.cancel.SendMessage(BM_CLICK);
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(events, (std::vector<std::string>{"button sees click", "dialog cancel"}));
    // PreSubclassWindow ran with the window known and before the object was hooked in.
    EXPECT_EQ(dialog.cancel.windowAtPreSubclass, cancelWindow);
    EXPECT_FALSE(dialog.cancel.subclassedBeforePreSubclass);
    // Destroyed windows leave their objects unattached.
    EXPECT_EQ(dialog.m_hWnd, nullptr);
    EXPECT_EQ(dialog.cancel.m_hWnd, nullptr);
    EXPECT_FALSE(IsWindow(dialogWindow));
}

TEST(Dialog, ControlMessagesPassThroughTheObjectToTheControl) {
    events.clear();
    TestDialog dialog([](TestDialog& d) {
        d.cancel.SetWindowText("Stop");
        EXPECT_EQ(d.cancel.GetWindowText(), "Stop");  // Default() reached the real button
        d.EndDialog(IDABORT);
    });
    EXPECT_EQ(dialog.DoModal(), IDABORT);
    EXPECT_EQ(events, std::vector<std::string>{"button text Stop"});
}

TEST(Dialog, HandlerResultsAndDefaultHandling) {
    TestDialog dialog([](TestDialog& d) {
        // A value from the class's own handler comes back through DWLP_MSGRESULT.
        EXPECT_EQ(d.SendMessage(WM_APP), 1234);
        // Messages the class does not handle get the dialog's default handling.
        d.SetWindowText("Title here");
        EXPECT_EQ(d.GetWindowText(), "Title here");
        EXPECT_EQ(d.SendMessage(WM_GETDLGCODE), DefDlgProcA(d.m_hWnd, WM_GETDLGCODE, 0, 0));
        // Enter reaches OnOK, whose base behaviour ends the dialog with IDOK.
        d.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
}

// What the class leaves to Default() the dialog procedure answers "not handled", so that the
// dialog manager that called it does the default handling: the handler sees the message once,
// and the procedure is never entered again for it.
TEST(Dialog, UnhandledMessagesAreLeftToTheDialogManager) {
    TestDialog dialog([](TestDialog& d) {
        auto procedure = reinterpret_cast<DLGPROC>(GetWindowLongPtrA(d.m_hWnd, DWLP_DLGPROC));
        ASSERT_NE(procedure, nullptr);
        EXPECT_EQ(procedure(d.m_hWnd, WM_APP + 77, 0, 0), FALSE);
        EXPECT_EQ(d.unhandledSeen, 1);
        EXPECT_EQ(procedure(d.m_hWnd, WM_APP, 0, 0), TRUE);
        EXPECT_EQ(GetWindowLongPtrA(d.m_hWnd, DWLP_MSGRESULT), 1234);
        d.SendMessage(WM_APP + 77);
        EXPECT_EQ(d.unhandledSeen, 2);
        d.EndDialog(IDABORT);
    });
    EXPECT_EQ(dialog.DoModal(), IDABORT);
}

TEST(Dialog, ControlColorIsAnsweredByTheControlWhenItWantsTo) {
    TestDialog dialog([](TestDialog& d) {
        HDC dc = GetDC(d.cancel.m_hWnd);
        d.cancel.brush = d.cancelBrush;
        LRESULT answer = d.SendMessage(WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc),
                                       reinterpret_cast<LPARAM>(d.cancel.m_hWnd));
        EXPECT_EQ(reinterpret_cast<HBRUSH>(answer), static_cast<HBRUSH>(d.cancelBrush));
        EXPECT_FALSE(d.sawCtlColorButton);
        // Without an answer from the control the dialog's own handler runs.
        d.cancel.brush = nullptr;
        d.SendMessage(WM_CTLCOLORBTN, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(d.cancel.m_hWnd));
        EXPECT_TRUE(d.sawCtlColorButton);
        ReleaseDC(d.cancel.m_hWnd, dc);
        d.EndDialog(IDABORT);
    });
    EXPECT_EQ(dialog.DoModal(), IDABORT);
}

TEST(Dialog, OwnerDrawnButtonDrawsItself) {
    TestDialog dialog([](TestDialog& d) {
        RecordingButton button;
        ASSERT_TRUE(button.Create("", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, CRect(5, 5, 60, 30), &d, 1500));
        d.ShowWindow(SW_SHOW);
        button.UpdateWindow();
        EXPECT_EQ(button.drawnId, 1500u);
        HWND window = button.m_hWnd;
        DestroyWindow(window);
        EXPECT_EQ(button.m_hWnd, nullptr);
        d.EndDialog(IDABORT);
    });
    EXPECT_EQ(dialog.DoModal(), IDABORT);
}

TEST(Subclass, ObjectDestroyedBeforeItsWindowLetsGo) {
    HWND parent = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
    HWND window = CreateWindowExA(0, "BUTTON", "x", WS_CHILD, 0, 0, 10, 10, parent, nullptr, nullptr, nullptr);
    {
        CButton button;
        ASSERT_TRUE(button.SubclassWindow(window));
        EXPECT_FALSE(button.SubclassWindow(window));  // one window per object
        EXPECT_EQ(CWnd::FromHandlePermanent(window), &button);
    }
    EXPECT_EQ(CWnd::FromHandlePermanent(window), nullptr);
    SetWindowTextA(window, "still works");
    char text[32] = {};
    GetWindowTextA(window, text, sizeof(text));
    EXPECT_STREQ(text, "still works");
    DestroyWindow(parent);
}

// Running out of memory in a handler. Windows called the handler, and the 32-bit program cannot
// unwind an exception through the system's frames: the handler's message must end as handled,
// the window must go on working, and the application's main window must hear of it once.
constexpr UINT kRunOutOfMemory = WM_APP + 9;

void* volatile allocated = nullptr;

// Asks for more memory than any process can be given at once.
void AllocateTooMuch() {
    std::vector<char> block;
    block.reserve(block.max_size());
    allocated = block.data();
    events.push_back("allocated");
}

class OutOfMemoryButton : public CButton {
public:
    bool failOnClickNotify = false;

protected:
    LRESULT WindowProc(UINT message, WPARAM, LPARAM lParam) override {
        if (message == kRunOutOfMemory) AllocateTooMuch();
        // A nested message that fails must leave this one to go on as it would have.
        if (message == WM_SETTEXT && MessageText(m_hWnd, lParam) == "nested") SendMessage(kRunOutOfMemory);
        return Default();
    }
    bool OnChildNotify(UINT message, WPARAM, LPARAM, LRESULT*) override {
        if (message == WM_COMMAND && failOnClickNotify) AllocateTooMuch();
        return false;
    }
};

class OutOfMemoryDialog : public CDialog {
public:
    explicit OutOfMemoryDialog(void (*body)(OutOfMemoryDialog&)) : CDialog(IDD_INSTALLER_DIALOG), body_(body) {}
    OutOfMemoryButton cancel;
    int failures = 0;
    bool cancelled = false;

    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        body_(*this);
        return TRUE;
    }
    void OnCancel() override { cancelled = true; }

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDCANCEL, cancel); }
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == kRunOutOfMemory) AllocateTooMuch();
        if (message == WM_APP) return 1234;
        return CDialog::WindowProc(message, wParam, lParam);
    }
    // What the installer's dialog does: the run, and with it the dialog, ends.
    void OnHandlerFailed() noexcept override {
        ++failures;
        EndDialog(IDABORT);
    }

private:
    void (*body_)(OutOfMemoryDialog&);
};

TEST(HandlerOutOfMemory, TheMessageEndsHandledAndTheMainWindowEndsTheRun) {
    struct Case {
        const char* name;
        void (*body)(OutOfMemoryDialog&);
    } cases[] = {
        {"the dialog's own handler",
         [](OutOfMemoryDialog& d) { EXPECT_EQ(d.SendMessage(kRunOutOfMemory), 0); }},
        {"a control's handler", [](OutOfMemoryDialog& d) { EXPECT_EQ(d.cancel.SendMessage(kRunOutOfMemory), 0); }},
        {"a control's handler for a message nested in another",
         [](OutOfMemoryDialog& d) {
             d.cancel.SetWindowText("nested");
             EXPECT_EQ(d.cancel.GetWindowText(), "nested");  // the outer message's Default() still ran
         }},
        {"a notification offered to the control",
         [](OutOfMemoryDialog& d) {
             d.cancel.failOnClickNotify = true;
             d.cancel.SendMessage(BM_CLICK);
             EXPECT_FALSE(d.cancelled);  // the click went no further
         }},
        {"the dialog's start", [](OutOfMemoryDialog&) { AllocateTooMuch(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        OutOfMemoryDialog dialog(c.body);
        CWinApp app;
        app.m_pMainWnd = &dialog;
        EXPECT_EQ(dialog.DoModal(), IDABORT);
        EXPECT_EQ(dialog.failures, 1);
        EXPECT_EQ(events, std::vector<std::string>{});  // no allocation succeeded
    }
}

// After the failure the window works as before: its handlers answer, its controls' default
// handling runs, and a later failure is heard again.
TEST(HandlerOutOfMemory, TheWindowsGoOnWorking) {
    OutOfMemoryDialog dialog([](OutOfMemoryDialog& d) {
        d.cancel.SendMessage(kRunOutOfMemory);
        EXPECT_EQ(d.SendMessage(WM_APP), 1234);
        d.cancel.SetWindowText("Stop");
        EXPECT_EQ(d.cancel.GetWindowText(), "Stop");
        d.cancel.SendMessage(BM_CLICK);
        EXPECT_TRUE(d.cancelled);
        d.SendMessage(kRunOutOfMemory);
    });
    CWinApp app;
    app.m_pMainWnd = &dialog;
    EXPECT_EQ(dialog.DoModal(), IDABORT);
    EXPECT_EQ(dialog.failures, 2);
}

TEST(Handles, UniqueClosesOnceAndMoves) {
    HANDLE raw = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD flags = 0;
    {
        UniqueHandle first(raw);
        UniqueHandle second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(second.get(), raw);
        EXPECT_TRUE(GetHandleInformation(raw, &flags));
    }
    EXPECT_FALSE(GetHandleInformation(raw, &flags));
    EXPECT_FALSE(AdoptFileHandle(INVALID_HANDLE_VALUE));
}

TEST(Gdi, SelectionIsUndoneAtTheEndOfItsScope) {
    UniqueMemoryDC dc(CreateCompatibleDC(nullptr));
    HGDIOBJ original = GetCurrentObject(dc.get(), OBJ_BRUSH);
    CBrush brush(RGB(10, 20, 30));
    {
        SelectObjectScope select(dc.get(), brush);
        EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BRUSH), static_cast<HGDIOBJ>(static_cast<HBRUSH>(brush)));
    }
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BRUSH), original);
}

}  // namespace
