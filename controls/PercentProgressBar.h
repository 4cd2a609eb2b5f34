#pragma once
// The status display: the dialog's progress control, bound to its own object, which answers the
// progress-bar messages from its own members and paints everything itself: the filled part, the
// rest, and one line of text (caption and percentage) in inverse colours over the two parts.
//
// The caption is the window text, held as 8-bit text in the system code page. The control is a
// Unicode window, so its text messages arrive with WCHAR text whatever the sender used; they are
// converted here, and A and W callers both read back the caption.
//
// Worker threads reach the bar through SendMessage (PBM_SETPOS, WM_SETTEXT), and call the colour
// setters and write percentAfterCaption directly: those members are atomic, and each setter
// stores before it invalidates, so a paint that runs in between is followed by another one.
#include "framework/Controls.h"
#include "framework/Gdi.h"

#include <atomic>
#include <string>

constexpr UINT PPB_SETCAPTIONCOLOR = WM_USER + 100;  // lParam colour; returns the previous one
constexpr UINT PPB_SHOWTEXT = WM_USER + 101;         // wParam TRUE shows the text, FALSE hides it
constexpr UINT PPB_GETPAINTCOUNT = WM_USER + 102;    // returns PaintCount(), for a benchmark outside

class PercentProgressBar : public CProgressCtrl {
public:
    PercentProgressBar() = default;
    ~PercentProgressBar() override = default;

    // Each of these invalidates the whole bar when it has a window; before that it only stores
    // the value for the first paint. SetTextVisible invalidates only when the value changes.
    void SetTextVisible(BOOL visible);
    // Return the previous colour. CLR_DEFAULT selects the system colour (bar: COLOR_HIGHLIGHT,
    // background: COLOR_WINDOW; text: the inverse of the part beneath it).
    COLORREF SetBarColor(COLORREF color);
    COLORREF SetBackgroundColor(COLORREF color);
    COLORREF SetCaptionColor(COLORREF color);

    // Whether a blank and the percentage follow a non-empty caption. Writing it repaints nothing:
    // the owner's next caption does.
    std::atomic<BOOL> percentAfterCaption{TRUE};

    // How many WM_PAINT messages the bar has handled, for benchmarks of the repaint rate.
    unsigned PaintCount() const { return paintCount.load(); }

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnPaint();
    void Draw(CDC& target);
    LRESULT OnSetText(LPARAM text);
    LRESULT OnGetText(WPARAM size, LPARAM buffer) const;
    LRESULT OnGetTextLength() const;
    LRESULT OnSetPos(int newPosition);
    LRESULT OnGetRange(WPARAM lowerWanted, LPARAM range) const;
    LRESULT OnSetRange32(int newLower, int newUpper);
    void InvalidateIfWindow();

    std::atomic<COLORREF> textColor{CLR_DEFAULT};
    int position = 0;
    int step = 1;
    int upper = 100;
    int lower = 0;
    std::string caption;
    std::atomic<BOOL> textVisible{TRUE};
    // Filled width at the last repaint decision; -1 forces the next PBM_SETPOS to repaint.
    int lastFilledWidth = -1;
    std::atomic<COLORREF> barColor{CLR_DEFAULT};
    std::atomic<COLORREF> backgroundColor{CLR_DEFAULT};
    const UINT textFormat = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
    std::atomic<unsigned> paintCount{0};
};
