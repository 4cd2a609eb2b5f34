#include "controls/PercentProgressBar.h"

#include "controls/OffscreenDC.h"
#include "controls/ProgressMath.h"
#include "framework/Gdi.h"

#include <algorithm>
#include <cstring>
#include <utility>

static_assert(CLR_DEFAULT == PPB_DEFAULT_COLOR, "the window-free code must know CLR_DEFAULT");

namespace {

std::string NarrowText(const WCHAR* text) {
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size) - 1);
    return narrow;
}

int WideLength(const std::string& text) {
    if (text.empty()) return 0;
    return MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
}

std::wstring WideText(const std::string& text) {
    std::wstring wide(static_cast<size_t>(WideLength(text)), L'\0');
    if (!wide.empty())
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                            static_cast<int>(wide.size()));
    return wide;
}

bool IsAnsiLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

// Puts back everything a drawing step changed in a DC (font, colours, clip region), also in a
// DC that the bar only borrows.
class SavedDCState {
public:
    explicit SavedDCState(HDC dc) : dc_(dc), saved_(SaveDC(dc)) {}
    ~SavedDCState() {
        if (saved_) RestoreDC(dc_, saved_);
    }
    SavedDCState(const SavedDCState&) = delete;
    SavedDCState& operator=(const SavedDCState&) = delete;

private:
    HDC dc_;
    int saved_;
};

// One of the two text passes. IntersectClipRect takes logical coordinates, so the clip stays on
// the filled edge also in an off-screen DC whose origin is moved to a partial clip box.
void DrawTextClipped(HDC dc, const std::string& text, RECT whole, const RECT& clip, COLORREF color,
                     UINT format) {
    SavedDCState saved(dc);
    IntersectClipRect(dc, clip.left, clip.top, clip.right, clip.bottom);
    SetTextColor(dc, color);
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &whole, format);
}

}  // namespace

void PercentProgressBar::SetTextVisible(BOOL visible) {
    BOOL old = textVisible.exchange(visible);
    if (old != visible) InvalidateIfWindow();
}

COLORREF PercentProgressBar::SetBarColor(COLORREF color) {
    COLORREF old = barColor.exchange(color);
    InvalidateIfWindow();
    return old;
}

COLORREF PercentProgressBar::SetBackgroundColor(COLORREF color) {
    COLORREF old = backgroundColor.exchange(color);
    InvalidateIfWindow();
    return old;
}

COLORREF PercentProgressBar::SetCaptionColor(COLORREF color) {
    COLORREF old = textColor.exchange(color);
    InvalidateIfWindow();
    return old;
}

void PercentProgressBar::InvalidateIfWindow() {
    HWND window = m_hWnd;
    if (window && ::IsWindow(window)) ::InvalidateRect(window, nullptr, TRUE);
}

LRESULT PercentProgressBar::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    // Memory running out in a text conversion must not unwind into the system's window procedure;
    // the message then fails and the bar keeps its state.
    try {
        switch (message) {
        case WM_ERASEBKGND:
            return TRUE;  // the paint covers every pixel; erasing first would flicker
        case WM_PAINT:
            OnPaint();
            return 0;
        case WM_PRINTCLIENT: {
            // The common control would print its own look, with a position it never gets.
            CDC dc(reinterpret_cast<HDC>(wParam));
            Draw(dc);
            return 0;
        }
        case WM_SIZE: {
            LRESULT result = Default();
            lastFilledWidth = -1;
            return result;
        }
        case WM_SETTEXT:
            return OnSetText(lParam);
        case WM_GETTEXT:
            return OnGetText(wParam, lParam);
        case WM_GETTEXTLENGTH:
            return OnGetTextLength();
        case PBM_DELTAPOS:
            return SendMessage(PBM_SETPOS,
                               static_cast<WPARAM>(MovedPosition(position, static_cast<int>(wParam))));
        case PBM_GETPOS:
            return position;
        case PBM_GETRANGE:
            return OnGetRange(wParam, lParam);
        case PBM_SETBARCOLOR:
            return static_cast<LRESULT>(SetBarColor(static_cast<COLORREF>(lParam)));
        case PBM_SETBKCOLOR:
            return static_cast<LRESULT>(SetBackgroundColor(static_cast<COLORREF>(lParam)));
        case PBM_SETPOS:
            return OnSetPos(static_cast<int>(wParam));
        case PBM_SETRANGE:
            return OnSetRange32(LOWORD(lParam), HIWORD(lParam));
        case PBM_SETRANGE32:
            return OnSetRange32(static_cast<int>(wParam), static_cast<int>(lParam));
        case PBM_SETSTEP:
            return std::exchange(step, static_cast<int>(wParam));
        case PBM_STEPIT:
            return SendMessage(PBM_SETPOS, static_cast<WPARAM>(MovedPosition(position, step)));
        case PPB_SETCAPTIONCOLOR:
            return static_cast<LRESULT>(SetCaptionColor(static_cast<COLORREF>(lParam)));
        case PPB_GETPAINTCOUNT:
            return static_cast<LRESULT>(PaintCount());
        case PPB_SHOWTEXT: {
            LRESULT result = Default();
            SetTextVisible(static_cast<BOOL>(wParam));
            return result;
        }
        }
        return Default();
    } catch (...) {
        return 0;
    }
}

void PercentProgressBar::OnPaint() {
    ++paintCount;
    CPaintDC paint(this);
    Draw(paint);
}

void PercentProgressBar::Draw(CDC& target) {
    // An empty range has no fraction: nothing is drawn, though the paint cycle still ends.
    if (lower >= upper) return;
    COLORREF bar = ResolveColor(barColor, GetSysColor(COLOR_HIGHLIGHT));
    COLORREF background = ResolveColor(backgroundColor, GetSysColor(COLOR_WINDOW));
    CRect client;
    GetClientRect(&client);
    bool vertical = (::GetWindowLongA(m_hWnd, GWL_STYLE) & PBS_VERTICAL) != 0;

    OffscreenDC dc(&target);
    SavedDCState saved(dc);
    HFONT font = reinterpret_cast<HFONT>(::SendMessageA(::GetParent(m_hWnd), WM_GETFONT, 0, 0));
    if (font) SelectObject(dc, font);

    // Outside the range the filled edge stays on the client area's border.
    CRect filled = client;
    CRect rest = client;
    if (vertical) {
        int length = std::clamp(FilledLength(client.Height(), position, lower, upper), 0, client.Height());
        filled.top = rest.bottom = client.bottom - length;
    } else {
        int length = std::clamp(FilledLength(client.Width(), position, lower, upper), 0, client.Width());
        filled.right = rest.left = client.left + length;
    }
    CBrush barBrush(bar);
    CBrush backgroundBrush(background);
    dc.FillRect(&filled, barBrush);
    dc.FillRect(&rest, backgroundBrush);

    if (!textVisible || vertical) return;
    std::string text = ProgressText(caption, percentAfterCaption != FALSE, ProgressPercentage(position, lower, upper));
    COLORREF textOverBar = ResolveColor(textColor, background);
    COLORREF textOverRest = ResolveColor(textColor, bar);
    SetBkMode(dc, TRANSPARENT);
    DrawTextClipped(dc, text, client, filled, textOverBar, textFormat);
    DrawTextClipped(dc, text, client, rest, textOverRest, textFormat);
}

LRESULT PercentProgressBar::OnSetText(LPARAM text) {
    LRESULT result = Default();
    std::string newCaption;
    if (text) {
        newCaption = ::IsWindowUnicode(m_hWnd) ? NarrowText(reinterpret_cast<const WCHAR*>(text))
                                               : std::string(reinterpret_cast<const char*>(text));
    }
    if (newCaption != caption) {
        caption = std::move(newCaption);
        ::InvalidateRect(m_hWnd, nullptr, TRUE);
    }
    return result;
}

// A Unicode window is asked in WCHARs (also on behalf of GetWindowTextA, which converts the
// answer to at most size - 1 bytes itself); an ANSI one in bytes of the caption.
LRESULT PercentProgressBar::OnGetText(WPARAM size, LPARAM buffer) const {
    if (size == 0 || !buffer) return 0;
    if (::IsWindowUnicode(m_hWnd)) {
        std::wstring wide = WideText(caption);
        size_t count = std::min<size_t>(wide.size(), size - 1);
        auto* out = reinterpret_cast<WCHAR*>(buffer);
        std::copy_n(wide.data(), count, out);
        out[count] = L'\0';
        return static_cast<LRESULT>(count);
    }
    size_t count = TruncateMultiByte(caption.data(), caption.size(), size - 1, IsAnsiLeadByte);
    auto* out = reinterpret_cast<char*>(buffer);
    std::memcpy(out, caption.data(), count);
    out[count] = '\0';
    return static_cast<LRESULT>(count);
}

LRESULT PercentProgressBar::OnGetTextLength() const {
    if (::IsWindowUnicode(m_hWnd)) return WideLength(caption);
    return static_cast<LRESULT>(caption.size());
}

LRESULT PercentProgressBar::OnSetPos(int newPosition) {
    if (!::IsWindow(m_hWnd)) return -1;
    int old = std::exchange(position, newPosition);
    if (lower >= upper) {
        // No fraction to compare: the first position in a usable range will repaint.
        lastFilledWidth = -1;
        return old;
    }
    // The width decides also for a vertical bar: the repaint rate is what matters here.
    CRect client;
    GetClientRect(&client);
    int width = FilledLength(client.Width(), position, lower, upper);
    if (width != lastFilledWidth) {
        lastFilledWidth = width;
        ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }
    return old;
}

LRESULT PercentProgressBar::OnGetRange(WPARAM lowerWanted, LPARAM range) const {
    if (range) {
        auto* limits = reinterpret_cast<PBRANGE*>(range);
        limits->iLow = lower;
        limits->iHigh = upper;
    }
    return lowerWanted ? lower : upper;
}

// Answers the previous range as the common control does: low word lower, high word upper.
LRESULT PercentProgressBar::OnSetRange32(int newLower, int newUpper) {
    LRESULT old = static_cast<LRESULT>(MAKELONG(lower, upper));
    lower = newLower;
    upper = newUpper;
    return old;
}
