#include "framework/Wnd.h"

#include "framework/WinApp.h"

#include <commctrl.h>

#include <vector>

namespace {
constexpr UINT_PTR kSubclassId = 1;
}

CWnd::~CWnd() {
    // A window that outlives its object must not call into it any more.
    if (subclassed_ && m_hWnd) RemoveWindowSubclass(m_hWnd, SubclassProc, kSubclassId);
}

bool CWnd::SubclassWindow(HWND window) {
    if (!window || m_hWnd) return false;
    m_hWnd = window;
    PreSubclassWindow();
    if (!SetWindowSubclass(window, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
        m_hWnd = nullptr;
        return false;
    }
    subclassed_ = true;
    return true;
}

bool CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
    return parent && SubclassWindow(::GetDlgItem(parent->m_hWnd, static_cast<int>(id)));
}

CWnd* CWnd::FromHandlePermanent(HWND window) {
    DWORD_PTR object = 0;
    if (window && GetWindowSubclass(window, SubclassProc, kSubclassId, &object))
        return reinterpret_cast<CWnd*>(object);
    return nullptr;
}

std::string CWnd::GetWindowText() const {
    std::vector<char> text(static_cast<size_t>(::GetWindowTextLengthA(m_hWnd)) + 1);
    int length = ::GetWindowTextA(m_hWnd, text.data(), static_cast<int>(text.size()));
    return std::string(text.data(), length > 0 ? static_cast<size_t>(length) : 0);
}

LRESULT CWnd::WindowProc(UINT, WPARAM, LPARAM) { return Default(); }

LRESULT CWnd::Default() { return CallDefault(current_); }

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return CallDefault({message, wParam, lParam, false});
}

LRESULT CWnd::CallDefault(const Message& message) {
    return DefSubclassProc(m_hWnd, message.message, message.wParam, message.lParam);
}

bool CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*) { return false; }

void CWnd::OnHandlerFailed() noexcept {
    CWnd* main = AfxGetApp() ? AfxGetApp()->m_pMainWnd : nullptr;
    if (main && main != this) main->OnHandlerFailed();
}

LRESULT CWnd::Dispatch(UINT message, WPARAM wParam, LPARAM lParam, bool* passedOn) noexcept {
    LRESULT result = 0;
    if (passedOn) *passedOn = false;
    // Handlers may send messages to their own window; each nested message restores the outer one.
    const Message outer = current_;
    try {
        if (ReflectToChild(message, wParam, lParam, &result)) return result;
        current_ = {message, wParam, lParam, false};
        result = WindowProc(message, wParam, lParam);
        if (passedOn) *passedOn = current_.passedOn;
        current_ = outer;
        return result;
    } catch (...) {
        // The program throws only when memory runs out. The system's code that called this
        // window cannot be unwound through (the 32-bit program's exceptions would end the
        // process there): the message counts as handled, what the handler had not done yet
        // stays undone, an outer message's handling goes on as before, and the run ends as a
        // failure.
        current_ = outer;
    }
    OnHandlerFailed();
    return 0;
}

bool CWnd::ReflectToChild(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    HWND child = nullptr;
    if (message == WM_COMMAND || IsCtlColorMessage(message))
        child = reinterpret_cast<HWND>(lParam);  // null for menus and accelerators
    else if (message == WM_DRAWITEM && wParam != 0)
        child = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)->hwndItem;
    else
        return false;
    CWnd* object = child != m_hWnd ? FromHandlePermanent(child) : nullptr;
    return object && object->OnChildNotify(message, wParam, lParam, result);
}

LRESULT CALLBACK CWnd::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                    UINT_PTR, DWORD_PTR object) noexcept {
    auto* self = reinterpret_cast<CWnd*>(object);
    if (message != WM_NCDESTROY) return self->Dispatch(message, wParam, lParam);
    // The last message: unhook first (DefSubclassProc still reaches the original procedure),
    // then let the object see it, then forget the window.
    RemoveWindowSubclass(window, SubclassProc, kSubclassId);
    self->subclassed_ = false;
    LRESULT result = self->Dispatch(message, wParam, lParam);
    self->m_hWnd = nullptr;
    return result;
}
