#pragma once
// Device contexts and GDI objects. A DC taken from the system is given back by the object that
// took it; a selection is undone by the scope that made it.
#include "framework/Handles.h"
#include "framework/Wnd.h"

class CRect : public RECT {
public:
    CRect() : RECT{0, 0, 0, 0} {}
    CRect(int l, int t, int r, int b) : RECT{l, t, r, b} {}
    explicit CRect(const RECT& rect) : RECT(rect) {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

class CSize : public SIZE {
public:
    CSize() : SIZE{0, 0} {}
    CSize(int x, int y) : SIZE{x, y} {}
    bool operator==(const SIZE& other) const { return cx == other.cx && cy == other.cy; }
    bool operator!=(const SIZE& other) const { return !(*this == other); }
};

// A device context the object does not own.
class CDC {
public:
    CDC() = default;
    explicit CDC(HDC dc) : m_hDC(dc) {}
    virtual ~CDC() = default;
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    HDC m_hDC = nullptr;
    HDC GetSafeHdc() const { return m_hDC; }
    operator HDC() const { return m_hDC; }

    int FillRect(const RECT* rect, HBRUSH brush) { return ::FillRect(m_hDC, rect, brush); }
    BOOL DrawIcon(int x, int y, HICON icon) { return ::DrawIcon(m_hDC, x, y, icon); }
    int GetDeviceCaps(int index) const { return ::GetDeviceCaps(m_hDC, index); }
};

// BeginPaint/EndPaint for one WM_PAINT.
class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd* window) : window_(window->m_hWnd) { m_hDC = BeginPaint(window_, &m_ps); }
    ~CPaintDC() override { EndPaint(window_, &m_ps); }
    PAINTSTRUCT m_ps{};

private:
    HWND window_;
};

// GetDC/ReleaseDC of a window's client area (or the screen, for a null window).
class CClientDC : public CDC {
public:
    explicit CClientDC(CWnd* window) : CClientDC(window ? window->m_hWnd : nullptr) {}
    explicit CClientDC(HWND window) : window_(window) { m_hDC = GetDC(window_); }
    ~CClientDC() override {
        if (m_hDC) ReleaseDC(window_, m_hDC);
    }

private:
    HWND window_;
};

class CBrush {
public:
    CBrush() = default;
    explicit CBrush(COLORREF color) { CreateSolidBrush(color); }
    BOOL CreateSolidBrush(COLORREF color) {
        brush_.reset(::CreateSolidBrush(color));
        return brush_ ? TRUE : FALSE;
    }
    operator HBRUSH() const { return static_cast<HBRUSH>(brush_.get()); }

private:
    UniqueGdiObject brush_;
};

class CPen {
public:
    CPen(int style, int width, COLORREF color) : pen_(::CreatePen(style, width, color)) {}
    operator HPEN() const { return static_cast<HPEN>(pen_.get()); }

private:
    UniqueGdiObject pen_;
};

// Selects an object into a DC for the life of the scope, then puts back what was there.
class SelectObjectScope {
public:
    SelectObjectScope(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~SelectObjectScope() {
        if (previous_ && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
    }
    SelectObjectScope(const SelectObjectScope&) = delete;
    SelectObjectScope& operator=(const SelectObjectScope&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};
