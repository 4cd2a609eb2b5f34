#include "framework/Controls.h"

#include "framework/WinApp.h"

BOOL CButton::Create(const char* caption, DWORD style, const RECT& rect, CWnd* parent, UINT id) {
    HWND window = CreateWindowExA(0, "BUTTON", caption, style, rect.left, rect.top,
                                  rect.right - rect.left, rect.bottom - rect.top,
                                  parent ? parent->m_hWnd : nullptr,
                                  reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                                  AfxGetResourceHandle(), nullptr);
    if (!window) return FALSE;
    if (SubclassWindow(window)) return TRUE;
    DestroyWindow(window);
    return FALSE;
}

bool CButton::OnChildNotify(UINT message, WPARAM, LPARAM lParam, LRESULT* result) {
    if (message != WM_DRAWITEM) return false;
    DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
    *result = TRUE;
    return true;
}

CToolTipCtrl::~CToolTipCtrl() {
    if (m_hWnd) DestroyWindow(m_hWnd);
}

BOOL CToolTipCtrl::Create(CWnd* parent, DWORD style) {
    HWND window = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | style, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  parent ? parent->m_hWnd : nullptr, nullptr, AfxGetResourceHandle(),
                                  nullptr);
    if (!window) return FALSE;
    if (SubclassWindow(window)) return TRUE;
    DestroyWindow(window);
    return FALSE;
}
