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
