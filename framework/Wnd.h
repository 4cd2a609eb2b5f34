#pragma once
// One C++ object per window. A control is tied to its object with SetWindowSubclass (the
// reference data is the object), so the window's messages reach the object's WindowProc, and a
// parent can find the object of a child from its HWND to offer it reflected notifications.
#include <windows.h>

#include <string>

// WM_CTLCOLORMSGBOX to WM_CTLCOLORSTATIC: a control asks its parent for its colours.
inline bool IsCtlColorMessage(UINT message) {
    return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC;
}

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;
    operator HWND() const { return m_hWnd; }

    // Ties an existing window to this object; PreSubclassWindow runs first, with m_hWnd set.
    bool SubclassWindow(HWND window);
    bool SubclassDlgItem(UINT id, CWnd* parent);
    // The object tied to a window by SubclassWindow, or null.
    static CWnd* FromHandlePermanent(HWND window);

    // Thin forwards to the window functions the program uses.
    BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
    BOOL MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE) {
        return ::MoveWindow(m_hWnd, x, y, width, height, repaint);
    }
    BOOL SetWindowPos(HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
        return ::SetWindowPos(m_hWnd, insertAfter, x, y, cx, cy, flags);
    }
    void SetWindowText(const char* text) { ::SetWindowTextA(m_hWnd, text); }
    std::string GetWindowText() const;
    void GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }
    void InvalidateRect(const RECT* rect, BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, rect, erase); }
    void UpdateWindow() { ::UpdateWindow(m_hWnd); }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        return ::PostMessageA(m_hWnd, message, wParam, lParam);
    }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    HMENU GetSystemMenu(BOOL revert) const { return ::GetSystemMenu(m_hWnd, revert); }
    HICON SetIcon(HICON icon, BOOL big) {
        return reinterpret_cast<HICON>(SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                                                   reinterpret_cast<LPARAM>(icon)));
    }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse) { return ::SetTimer(m_hWnd, id, elapse, nullptr); }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
    int MessageBox(const char* text, const char* caption, UINT type) {
        return ::MessageBoxA(m_hWnd, text, caption, type);
    }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }

protected:
    virtual void PreSubclassWindow() {}
    // The class's message map: a switch over the messages it handles, Default() for the rest.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The handling the window would have had without this object, for the current message.
    LRESULT Default();
    // The same handling for a message of the handler's choosing (often the current one changed).
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // A parent offers this control WM_DRAWITEM, its WM_COMMAND notifications and WM_CTLCOLOR*
    // before the parent's own handler runs. Return true to answer the message (*result is the
    // parent's reply); return false to let the parent handle it too (after acting on it or not).
    virtual bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    // A handler of this window (WindowProc, or a child's OnChildNotify for it) threw: it ran out
    // of memory, and the message was dropped where it stood. By default the application's main
    // window hears of it; the main window's class ends the run.
    virtual void OnHandlerFailed() noexcept;

    // Offers a reflected message to the child it concerns, then runs WindowProc. `passedOn`, when
    // given, tells whether the handler left the message to the default handling (Default()
    // through a CallDefault that only takes note, as a dialog's does). Nothing a handler throws
    // leaves it: the message then counts as handled (0) and OnHandlerFailed runs.
    LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam, bool* passedOn = nullptr) noexcept;

private:
    friend class CDialog;
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        bool passedOn;
    };
    virtual LRESULT CallDefault(const Message& message);
    bool ReflectToChild(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR id, DWORD_PTR object) noexcept;

    Message current_{};
    bool subclassed_ = false;
};
