// The status display on real windows: its messages, when it repaints, and what it paints, read
// back from pixels. Pictures come from WM_PRINTCLIENT into a DIB (no screen involved) and, where
// the real WM_PAINT path matters, from the window's own DC after the paint.
#include "controls/OffscreenDC.h"
#include "controls/PercentProgressBar.h"
#include "framework/Dialog.h"
#include "framework/Gdi.h"
#include "framework/Handles.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr COLORREF kSkin = RGB(5, 81, 21);
constexpr COLORREF kRed = RGB(200, 0, 0);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kSentinel = RGB(1, 2, 3);
constexpr COLORREF kMagenta = RGB(255, 0, 255);
constexpr int kClientWidth = 442;  // a 444 x 20 progress control with WS_BORDER
constexpr int kClientHeight = 18;
constexpr UINT kTextFormat = DT_CENTER | DT_VCENTER | DT_SINGLELINE;

// A font without smoothing, so that text pixels have exactly the text colour.
HFONT TestFont() {
    static HFONT font = CreateFontA(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                                    OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY,
                                    DEFAULT_PITCH, "Tahoma");
    return font;
}

// A 32-bit top-down DIB selected into a memory DC, filled with one colour.
class Canvas {
public:
    Canvas(int width, int height, COLORREF fill) : width(width), height(height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        bitmap_.reset(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        bits_ = static_cast<const std::uint32_t*>(bits);
        dc_.reset(CreateCompatibleDC(nullptr));
        SelectObject(dc_.get(), bitmap_.get());
        CBrush brush(fill);
        RECT all{0, 0, width, height};
        FillRect(dc_.get(), &all, brush);
    }
    HDC dc() const { return dc_.get(); }
    COLORREF Pixel(int x, int y) const {
        GdiFlush();
        std::uint32_t p = bits_[y * width + x];
        return RGB(p >> 16 & 0xFF, p >> 8 & 0xFF, p & 0xFF);
    }
    const int width, height;

private:
    UniqueGdiObject bitmap_;
    UniqueMemoryDC dc_;
    const std::uint32_t* bits_ = nullptr;
};

// The bar's client area as its own WM_PRINTCLIENT draws it.
Canvas Print(HWND bar, COLORREF fill = kSentinel) {
    RECT client;
    GetClientRect(bar, &client);
    Canvas image(client.right, client.bottom, fill);
    SendMessageA(bar, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(image.dc()), PRF_CLIENT);
    return image;
}

// The bar's client area as it is on the screen.
Canvas Capture(HWND bar) {
    Canvas image(kClientWidth, kClientHeight, kSentinel);
    HDC screen = GetDC(bar);
    BitBlt(image.dc(), 0, 0, kClientWidth, kClientHeight, screen, 0, 0, SRCCOPY);
    ReleaseDC(bar, screen);
    return image;
}

// How a plain DrawText of `text`, one line centred, covers each pixel of the client area. Wine
// may smooth the dialog's font: the edges of its glyphs are then partly covered.
enum class Ink { None, Partial, Full };
std::vector<Ink> TextInk(const std::string& text, HFONT font, int width, int height) {
    std::vector<Ink> ink(width * height, Ink::None);
    if (text.empty()) return ink;
    Canvas canvas(width, height, kWhite);
    if (font) SelectObject(canvas.dc(), font);
    SetBkMode(canvas.dc(), TRANSPARENT);
    SetTextColor(canvas.dc(), RGB(0, 0, 0));
    RECT client{0, 0, width, height};
    DrawTextA(canvas.dc(), text.c_str(), -1, &client, kTextFormat);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            COLORREF p = canvas.Pixel(x, y);
            ink[y * width + x] = p == kWhite ? Ink::None : p == RGB(0, 0, 0) ? Ink::Full : Ink::Partial;
        }
    }
    return ink;
}

// What the bar should show: the filled part left of `edge` (or, for a vertical bar, from row
// `edge` down), the rest beyond it, and `text` (none when empty) in one colour over each part.
struct Look {
    int edge;
    std::string text;
    COLORREF bar, background, textOverBar, textOverRest;
    HFONT font = TestFont();
    bool vertical = false;
};

// Every pixel from column fromX on must be what the look says; partly covered glyph edges, which
// blend the two colours, are left out.
testing::AssertionResult Shows(const Canvas& image, const Look& look, int fromX = 0) {
    std::vector<Ink> ink = TextInk(look.text, look.font, image.width, image.height);
    int wrong = 0;
    int textPixels = 0;
    std::string first;
    for (int y = 0; y < image.height; ++y) {
        for (int x = fromX; x < image.width; ++x) {
            Ink cover = ink[y * image.width + x];
            if (cover == Ink::Partial) continue;
            bool filled = look.vertical ? y >= look.edge : x < look.edge;
            COLORREF expected = cover == Ink::Full ? (filled ? look.textOverBar : look.textOverRest)
                                                   : (filled ? look.bar : look.background);
            if (cover == Ink::Full) ++textPixels;
            COLORREF actual = image.Pixel(x, y);
            if (actual == expected) continue;
            if (wrong++ == 0) {
                char where[96];
                wsprintfA(where, "(%d, %d) is %06lX instead of %06lX", x, y, actual, expected);
                first = where;
            }
        }
    }
    if (!look.text.empty() && textPixels == 0)
        return testing::AssertionFailure() << "the reference text covers no pixel fully";
    if (wrong == 0) return testing::AssertionSuccess();
    return testing::AssertionFailure() << wrong << " pixels differ; first " << first;
}

testing::AssertionResult AllPixelsAre(const Canvas& image, COLORREF color, int fromX, int toX) {
    for (int y = 0; y < image.height; ++y)
        for (int x = fromX; x < toX; ++x)
            if (image.Pixel(x, y) != color)
                return testing::AssertionFailure() << "pixel (" << x << ", " << y << ") differs";
    return testing::AssertionSuccess();
}

LRESULT CALLBACK ParentProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_GETFONT) return GetWindowLongPtrA(window, GWLP_USERDATA);
    return DefWindowProcA(window, message, wParam, lParam);
}

ATOM RegisterTestClass(const char* name, WNDPROC procedure) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = name;
    return RegisterClassA(&windowClass);
}

// A plain ANSI window, to bind the bar to a window that gets its text messages in bytes.
const char* AnsiControlClass() {
    static const ATOM atom = RegisterTestClass("AnsiTestControl", DefWindowProcA);
    return MAKEINTATOM(atom);
}

// A visible popup parent with one progress control (or a window of `controlClass`), 444 x 20 like
// the installer's; the parent answers WM_GETFONT with `font`. The control carries a text of its
// own from creation, like the dialog template's "Progress1".
class BarWindow {
public:
    explicit BarWindow(DWORD style = 0, HFONT font = TestFont(), bool bind = true,
                       const char* controlClass = PROGRESS_CLASSA) {
        static const ATOM parentClass = [] {
            INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
            InitCommonControlsEx(&controls);
            return RegisterTestClass("ProgressTestParent", ParentProc);
        }();
        parent = CreateWindowExA(0, MAKEINTATOM(parentClass), "", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN,
                                 0, 0, 480, 240, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(parent, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(font));
        control = CreateWindowExA(0, controlClass, "Progress1", WS_CHILD | WS_VISIBLE | WS_BORDER | style,
                                  15, 190, 444, 20, parent, reinterpret_cast<HMENU>(IDC_PROGRESS),
                                  GetModuleHandleA(nullptr), nullptr);
        if (bind) bar.SubclassWindow(control);
        RedrawWindow(parent, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    }
    ~BarWindow() { DestroyWindow(parent); }
    HWND parent = nullptr;
    HWND control = nullptr;
    PercentProgressBar bar;
};

// Each message is sent in turn; the results come from the bar's own members, also where the
// common control would clamp or wrap.
TEST(PercentProgressBar, AnswersProgressMessagesFromItsOwnState) {
    BarWindow window;
    struct Step {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        LRESULT result;
    };
    const Step steps[] = {
        {PBM_GETPOS, 0, 0, 0},
        {PBM_GETRANGE, TRUE, 0, 0},
        {PBM_GETRANGE, FALSE, 0, 100},
        {PBM_SETSTEP, 10, 0, 1},
        {PBM_SETPOS, 95, 0, 0},
        {PBM_STEPIT, 0, 0, 95},
        {PBM_GETPOS, 0, 0, 105},  // not wrapped to the lower limit
        {PBM_DELTAPOS, static_cast<WPARAM>(-115), 0, 105},
        {PBM_GETPOS, 0, 0, -10},  // not clamped
        {PBM_SETRANGE32, 0, 1000, MAKELONG(0, 100)},
        {PBM_GETRANGE, FALSE, 0, 1000},
        {PBM_SETRANGE, 0, MAKELPARAM(-10, 10), MAKELONG(0, 1000)},
        {PBM_GETRANGE, TRUE, 0, 65526},  // the low word is unsigned
        {PBM_GETRANGE, FALSE, 0, 10},
        {PBM_SETRANGE32, static_cast<WPARAM>(-5), 5, MAKELONG(65526, 10)},
        {PBM_GETRANGE, TRUE, 0, -5},
        {PBM_SETPOS, static_cast<WPARAM>(INT_MAX - 3), 0, -10},
        {PBM_STEPIT, 0, 0, INT_MAX - 3},
        {PBM_GETPOS, 0, 0, INT_MAX},  // held at the limit of int, not wrapped to negative
        {PBM_SETBARCOLOR, 0, static_cast<LPARAM>(kSkin), static_cast<LRESULT>(CLR_DEFAULT)},
        {PBM_SETBARCOLOR, 0, static_cast<LPARAM>(kRed), static_cast<LRESULT>(kSkin)},
        {PBM_SETBKCOLOR, 0, static_cast<LPARAM>(kRed), static_cast<LRESULT>(CLR_DEFAULT)},
        {PPB_SETCAPTIONCOLOR, 0, static_cast<LPARAM>(kWhite), static_cast<LRESULT>(CLR_DEFAULT)},
        {PPB_SETCAPTIONCOLOR, 0, static_cast<LPARAM>(CLR_DEFAULT), static_cast<LRESULT>(kWhite)},
        {PPB_SHOWTEXT, FALSE, 0, 0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "message 0x" << std::hex << step.message << std::dec
                                        << " (" << static_cast<int>(step.wParam) << ", "
                                        << step.lParam << ")");
        EXPECT_EQ(SendMessageA(window.control, step.message, step.wParam, step.lParam), step.result);
    }

    PBRANGE range{};
    EXPECT_EQ(SendMessageA(window.control, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range)), 5);
    EXPECT_EQ(range.iLow, -5);
    EXPECT_EQ(range.iHigh, 5);

    // Erasing is left to the paint, which covers every pixel.
    Canvas canvas(8, 8, kSentinel);
    EXPECT_EQ(SendMessageA(window.control, WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas.dc()), 0), TRUE);
    EXPECT_TRUE(AllPixelsAre(canvas, kSentinel, 0, 8));
}

// A position repaints at once (before PBM_SETPOS returns) exactly when it moves the filled edge
// by a whole pixel; the client area is 442 pixels wide.
TEST(PercentProgressBar, RepaintsSynchronouslyOnlyWhenTheFilledWidthChanges) {
    BarWindow window;
    HWND bar = window.control;
    SendMessageA(bar, PBM_SETRANGE32, 0, 1000);
    struct Step {
        const char* what;
        std::function<void()> act;
        bool repaints;
        int position;
    };
    const Step steps[] = {
        {"first position", [&] { SendMessageA(bar, PBM_SETPOS, 0, 0); }, true, 0},
        {"same position", [&] { SendMessageA(bar, PBM_SETPOS, 0, 0); }, false, 0},
        {"10: 4 pixels", [&] { SendMessageA(bar, PBM_SETPOS, 10, 0); }, true, 10},
        {"11: still 4 pixels", [&] { SendMessageA(bar, PBM_SETPOS, 11, 0); }, false, 11},
        {"range change alone", [&] { SendMessageA(bar, PBM_SETRANGE32, 0, 100); }, false, 11},
        {"11 of 100: 48 pixels", [&] { SendMessageA(bar, PBM_SETPOS, 11, 0); }, true, 11},
        {"WM_SIZE, then the same position",
         [&] {
             SendMessageA(bar, WM_SIZE, SIZE_RESTORED, MAKELPARAM(kClientWidth, kClientHeight));
             SendMessageA(bar, PBM_SETPOS, 11, 0);
         },
         true, 11},
        {"step to 12: 53 pixels", [&] { SendMessageA(bar, PBM_STEPIT, 0, 0); }, true, 12},
        {"delta 0", [&] { SendMessageA(bar, PBM_DELTAPOS, 0, 0); }, false, 12},
        {"far past the end", [&] { SendMessageA(bar, PBM_SETPOS, 500, 0); }, true, 500},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        unsigned before = window.bar.PaintCount();
        step.act();
        EXPECT_EQ(window.bar.PaintCount() - before, step.repaints ? 1u : 0u);
        EXPECT_FALSE(GetUpdateRect(bar, nullptr, FALSE));  // nothing left waiting for a paint
        EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), step.position);
    }
}

TEST(PercentProgressBar, EmptyRangeDrawsNothingAndEndsThePaintCycle) {
    BarWindow window;
    HWND bar = window.control;
    SendMessageA(bar, PBM_SETPOS, 50, 0);
    SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(-10, 10));  // 65526..10
    EXPECT_TRUE(AllPixelsAre(Print(bar), kSentinel, 0, kClientWidth));

    unsigned before = window.bar.PaintCount();
    SendMessageA(bar, PBM_SETPOS, 7, 0);  // no fraction to compare: no repaint, no fault
    EXPECT_EQ(window.bar.PaintCount(), before);
    InvalidateRect(bar, nullptr, TRUE);
    UpdateWindow(bar);
    EXPECT_EQ(window.bar.PaintCount(), before + 1);
    EXPECT_FALSE(GetUpdateRect(bar, nullptr, FALSE));

    // Back to a usable range, the first position repaints even though it has not moved.
    SendMessageA(bar, PBM_SETRANGE32, 0, 100);
    SendMessageA(bar, PBM_SETPOS, 7, 0);
    EXPECT_EQ(window.bar.PaintCount(), before + 2);
}

// The rules for when a call only marks the bar for repainting. The steps run in order on one bar,
// whose update region is emptied before each.
TEST(PercentProgressBar, InvalidatesOnlyWhereTheLookMayChange) {
    BarWindow window;
    PercentProgressBar& bar = window.bar;
    HWND control = window.control;
    struct Step {
        const char* what;
        std::function<void()> act;
        bool invalidates;
    };
    const Step steps[] = {
        {"text shown again", [&] { bar.SetTextVisible(TRUE); }, false},
        {"text hidden", [&] { bar.SetTextVisible(FALSE); }, true},
        {"text hidden by message", [&] { SendMessageA(control, PPB_SHOWTEXT, FALSE, 0); }, false},
        {"text shown by message", [&] { SendMessageA(control, PPB_SHOWTEXT, TRUE, 0); }, true},
        {"bar colour unchanged", [&] { bar.SetBarColor(CLR_DEFAULT); }, true},
        {"background colour", [&] { bar.SetBackgroundColor(kRed); }, true},
        {"caption colour", [&] { bar.SetCaptionColor(kWhite); }, true},
        {"bar colour by message", [&] { SendMessageA(control, PBM_SETBARCOLOR, 0, kSkin); }, true},
        {"background by message", [&] { SendMessageA(control, PBM_SETBKCOLOR, 0, kRed); }, true},
        {"caption colour by message", [&] { SendMessageA(control, PPB_SETCAPTIONCOLOR, 0, kWhite); }, true},
        {"percentAfterCaption", [&] { bar.percentAfterCaption = FALSE; }, false},
        {"NULL text over an empty caption", [&] { SendMessageA(control, WM_SETTEXT, 0, 0); }, false},
        {"empty text over an empty caption", [&] { SetWindowTextA(control, ""); }, false},
        {"new caption", [&] { SetWindowTextA(control, "Connecting to server..."); }, true},
        {"same caption", [&] { SetWindowTextA(control, "Connecting to server..."); }, false},
        {"same caption in Unicode", [&] { SetWindowTextW(control, L"Connecting to server..."); }, false},
        {"NULL text over a caption", [&] { SendMessageA(control, WM_SETTEXT, 0, 0); }, true},
        {"range", [&] { SendMessageA(control, PBM_SETRANGE32, 0, 1000); }, false},
        {"step", [&] { SendMessageA(control, PBM_SETSTEP, 5, 0); }, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        ValidateRect(control, nullptr);
        step.act();
        EXPECT_EQ(GetUpdateRect(control, nullptr, FALSE) != FALSE, step.invalidates);
    }
}

TEST(PercentProgressBar, SettersBeforeTheWindowAreKeptForTheFirstPaint) {
    BarWindow window(0, TestFont(), false);
    EXPECT_EQ(window.bar.SetBarColor(kSkin), CLR_DEFAULT);
    EXPECT_EQ(window.bar.SetBackgroundColor(kRed), CLR_DEFAULT);
    EXPECT_EQ(window.bar.SetCaptionColor(kWhite), CLR_DEFAULT);
    window.bar.SetTextVisible(FALSE);
    ASSERT_TRUE(window.bar.SubclassWindow(window.control));
    SendMessageA(window.control, PBM_SETPOS, 50, 0);
    EXPECT_TRUE(Shows(Print(window.control), {221, "", kSkin, kRed, kWhite, kWhite}));
}

// The caption is the window text: set through either character set, read back through either,
// truncated to the caller's buffer, and always passed on to the common control as well. The
// progress control is a Unicode window; the same must hold on an ANSI window, which gets its
// text messages in bytes.
void ExpectCaptionIsTheWindowText(BarWindow& window) {
    HWND bar = window.control;
    char text[40];
    WCHAR wide[40];

    // The control's own creation text is not the caption, and WM_SETTEXT NULL reaches the control.
    EXPECT_EQ(GetWindowTextA(bar, text, sizeof(text)), 0);
    EXPECT_EQ(GetWindowTextLengthA(bar), 0);
    InternalGetWindowText(bar, wide, 32);
    EXPECT_STREQ(wide, L"Progress1");
    SendMessageA(bar, WM_SETTEXT, 0, 0);
    InternalGetWindowText(bar, wide, 32);
    EXPECT_STREQ(wide, L"");

    SetWindowTextA(bar, "Installing...");
    EXPECT_EQ(window.bar.GetWindowText(), "Installing...");
    EXPECT_EQ(GetWindowTextLengthA(bar), 13);
    EXPECT_EQ(GetWindowTextLengthW(bar), 13);
    EXPECT_EQ(GetWindowTextW(bar, wide, 32), 13);
    EXPECT_STREQ(wide, L"Installing...");
    InternalGetWindowText(bar, wide, 32);
    EXPECT_STREQ(wide, L"Installing...");

    struct Case {
        WPARAM size;
        LRESULT copied;
        const char* text;
    };
    const Case cases[] = {{6, 5, "Insta"}, {14, 13, "Installing..."}, {13, 12, "Installing.."},
                          {1, 0, ""}, {32, 13, "Installing..."}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "buffer of " << c.size);
        std::memset(text, 'x', sizeof(text));
        EXPECT_EQ(SendMessageA(bar, WM_GETTEXT, c.size, reinterpret_cast<LPARAM>(text)), c.copied);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(text[c.size], 'x');  // nothing written past the buffer
        std::fill(std::begin(wide), std::end(wide), L'x');
        EXPECT_EQ(SendMessageW(bar, WM_GETTEXT, c.size, reinterpret_cast<LPARAM>(wide)), c.copied);
        EXPECT_EQ(wide[c.copied], L'\0');
        EXPECT_EQ(wide[c.size], L'x');
    }
    std::memset(text, 'x', sizeof(text));
    EXPECT_EQ(SendMessageA(bar, WM_GETTEXT, 0, reinterpret_cast<LPARAM>(text)), 0);
    EXPECT_EQ(text[0], 'x');

    // 8-bit text outside ASCII goes through the code page both ways.
    SetWindowTextA(bar, "Caf\xE9 \x80 5");
    EXPECT_EQ(window.bar.GetWindowText(), "Caf\xE9 \x80 5");
    GetWindowTextW(bar, wide, 32);
    EXPECT_STREQ(wide, L"Caf\u00E9 \u20AC 5");
    SetWindowTextW(bar, L"Na\u00EFve");
    EXPECT_EQ(window.bar.GetWindowText(), "Na\xEFve");
}

TEST(PercentProgressBar, CaptionIsTheWindowTextForAnsiAndUnicodeCallers) {
    {
        SCOPED_TRACE("progress control");
        BarWindow window;
        ASSERT_TRUE(IsWindowUnicode(window.control));
        ExpectCaptionIsTheWindowText(window);
    }
    {
        SCOPED_TRACE("ANSI window");
        BarWindow window(0, TestFont(), true, AnsiControlClass());
        ASSERT_FALSE(IsWindowUnicode(window.control));
        ExpectCaptionIsTheWindowText(window);
    }
}

struct PaintCase {
    const char* name;
    std::function<void(PercentProgressBar&, HWND)> setUp;
    Look look;
    HFONT parentFont = TestFont();
};

// Each case on a fresh bar; the client area is 442 x 18 pixels.
TEST(PercentProgressBar, PaintsBarBackgroundAndTwoColouredText) {
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    const COLORREF windowColor = GetSysColor(COLOR_WINDOW);
    auto setPos = [](HWND bar, int position) { SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0); };
    const std::string longCaption = "Download in progress... Download in progress... Download in progress...";
    const PaintCase cases[] = {
        {"fresh bar", [](PercentProgressBar&, HWND) {},
         {0, "0%", highlight, windowColor, windowColor, highlight}},
        {"caption and percentage",
         [&](PercentProgressBar& bar, HWND control) {
             bar.SetBarColor(kSkin);
             setPos(control, 37);
             SetWindowTextA(control, "Download in progress...");
         },
         {163, "Download in progress... 37%", kSkin, windowColor, windowColor, kSkin}},
        {"caption alone",
         [&](PercentProgressBar& bar, HWND control) {
             setPos(control, 37);
             bar.percentAfterCaption = FALSE;
             SetWindowTextA(control, "Download in progress...");
         },
         {163, "Download in progress...", highlight, windowColor, windowColor, highlight}},
        {"caption emptied again",
         [&](PercentProgressBar&, HWND control) {
             setPos(control, 37);
             SetWindowTextA(control, "Download in progress...");
             SetWindowTextA(control, "");
         },
         {163, "37%", highlight, windowColor, windowColor, highlight}},
        {"a third",
         [&](PercentProgressBar&, HWND control) {
             SendMessageA(control, PBM_SETRANGE32, 0, 3);
             setPos(control, 1);
         },
         {147, "33%", highlight, windowColor, windowColor, highlight}},
        {"two thirds",
         [&](PercentProgressBar&, HWND control) {
             SendMessageA(control, PBM_SETRANGE32, 0, 3);
             setPos(control, 2);
         },
         {294, "66%", highlight, windowColor, windowColor, highlight}},
        {"stepped past the end",
         [&](PercentProgressBar&, HWND control) {
             SendMessageA(control, PBM_SETSTEP, 10, 0);
             setPos(control, 95);
             SendMessageA(control, PBM_STEPIT, 0, 0);
         },
         {kClientWidth, "105%", highlight, windowColor, windowColor, highlight}},
        {"before the start", [&](PercentProgressBar&, HWND control) { setPos(control, -10); },
         {0, "-10%", highlight, windowColor, windowColor, highlight}},
        {"far outside the range",
         [&](PercentProgressBar&, HWND control) {
             SendMessageA(control, PBM_SETRANGE32, 0, 1);
             setPos(control, INT_MIN);
         },
         {0, "-2147483648%", highlight, windowColor, windowColor, highlight}},
        {"white caption",
         [&](PercentProgressBar& bar, HWND control) {
             setPos(control, 50);
             bar.SetCaptionColor(kWhite);
         },
         {221, "50%", highlight, windowColor, kWhite, kWhite}},
        {"caption colour back to the inverse",
         [&](PercentProgressBar& bar, HWND control) {
             setPos(control, 50);
             bar.SetCaptionColor(kWhite);
             bar.SetCaptionColor(CLR_DEFAULT);
         },
         {221, "50%", highlight, windowColor, windowColor, highlight}},
        {"colours by message",
         [&](PercentProgressBar&, HWND control) {
             setPos(control, 50);
             SendMessageA(control, PBM_SETBARCOLOR, 0, kSkin);
             SendMessageA(control, PBM_SETBKCOLOR, 0, kRed);
             SendMessageA(control, PPB_SETCAPTIONCOLOR, 0, RGB(0, 0, 255));
         },
         {221, "50%", kSkin, kRed, RGB(0, 0, 255), RGB(0, 0, 255)}},
        {"the installer's failure look",
         [&](PercentProgressBar& bar, HWND control) {
             bar.SetBarColor(kSkin);
             setPos(control, 40);
             SetWindowTextA(control, "Download in progress...");
             bar.SetCaptionColor(kWhite);
             bar.SetBackgroundColor(kRed);
             bar.percentAfterCaption = FALSE;
             SetWindowTextA(control, "Download failed!");
         },
         {176, "Download failed!", kSkin, kRed, kWhite, kWhite}},
        {"text hidden",
         [&](PercentProgressBar&, HWND control) {
             setPos(control, 50);
             SendMessageA(control, PPB_SHOWTEXT, FALSE, 0);
         },
         {221, "", highlight, windowColor, windowColor, highlight}},
        {"ampersands are prefixes",
         [&](PercentProgressBar&, HWND control) {
             setPos(control, 50);
             SetWindowTextA(control, "Fish && Chips & Peas");
         },
         {221, "Fish && Chips & Peas 50%", highlight, windowColor, windowColor, highlight}},
        {"text wider than the bar is cut at both ends",
         [&](PercentProgressBar&, HWND control) {
             setPos(control, 50);
             SetWindowTextA(control, longCaption.c_str());
         },
         {221, longCaption + " 50%", highlight, windowColor, windowColor, highlight}},
        {"parent without a font", [&](PercentProgressBar&, HWND control) { setPos(control, 50); },
         {221, "50%", highlight, windowColor, windowColor, highlight, nullptr},
         nullptr},
    };
    for (const PaintCase& c : cases) {
        SCOPED_TRACE(c.name);
        BarWindow window(0, c.parentFont);
        c.setUp(window.bar, window.control);
        EXPECT_TRUE(Shows(Print(window.control), c.look));
    }
}

TEST(PercentProgressBar, VerticalBarFillsFromTheBottomWithoutText) {
    BarWindow window(PBS_VERTICAL);
    SendMessageA(window.control, PBM_SETPOS, 37, 0);  // 6.66 of 18 rows
    SetWindowTextA(window.control, "Download in progress...");
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    Look look{12, "", highlight, GetSysColor(COLOR_WINDOW), 0, 0};
    look.vertical = true;
    EXPECT_TRUE(Shows(Print(window.control), look));
}

// The real WM_PAINT path: the picture reaches the screen, and a paint of part of the bar
// changes that part only, with the text's colour change still on the filled edge.
TEST(PercentProgressBar, PaintsTheScreenWithinTheUpdateRegion) {
    BarWindow window;
    HWND bar = window.control;
    SendMessageA(bar, PBM_SETPOS, 50, 0);
    SetWindowTextA(bar, "Download in progress...");
    UpdateWindow(bar);
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    const COLORREF windowColor = GetSysColor(COLOR_WINDOW);
    const Look look{221, "Download in progress... 50%", highlight, windowColor, windowColor, highlight};
    EXPECT_TRUE(Shows(Capture(bar), look));

    {
        CClientDC dc(&window.bar);
        CBrush magenta(kMagenta);
        RECT all{0, 0, kClientWidth, kClientHeight};
        dc.FillRect(&all, magenta);
    }
    RECT part{150, 0, kClientWidth, kClientHeight};
    unsigned before = window.bar.PaintCount();
    InvalidateRect(bar, &part, TRUE);
    UpdateWindow(bar);
    EXPECT_EQ(window.bar.PaintCount(), before + 1);
    Canvas screen = Capture(bar);
    EXPECT_TRUE(AllPixelsAre(screen, kMagenta, 0, 150));
    EXPECT_TRUE(Shows(screen, look, 150));
}

// A download worker drives the bar the way the installer's callback does, while this thread
// keeps its messages flowing.
DWORD WINAPI FailingDownload(void* context) {
    auto* bar = static_cast<PercentProgressBar*>(context);
    SetWindowTextA(bar->m_hWnd, "Connecting to server...");
    for (int percent = 0; percent <= 40; ++percent) SendMessageA(bar->m_hWnd, PBM_SETPOS, percent, 0);
    SetWindowTextA(bar->m_hWnd, "Download in progress...");
    bar->SetCaptionColor(kWhite);
    bar->SetBackgroundColor(kRed);
    bar->percentAfterCaption = FALSE;
    SetWindowTextA(bar->m_hWnd, "Download failed!");
    return 0;
}

TEST(PercentProgressBar, WorkerThreadReachesTheBarThroughMessagesAndSetters) {
    BarWindow window;
    window.bar.SetBarColor(kSkin);
    UniqueHandle worker(CreateThread(nullptr, 0, FailingDownload, &window.bar, 0, nullptr));
    ASSERT_TRUE(worker);
    DWORD deadline = GetTickCount() + 10000;
    HANDLE handle = worker.get();
    while (MsgWaitForMultipleObjects(1, &handle, FALSE, 100, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        ASSERT_LT(static_cast<int>(GetTickCount() - deadline), 0) << "the worker never finished";
    }
    UpdateWindow(window.control);
    const Look failed{176, "Download failed!", kSkin, kRed, kWhite, kWhite};
    EXPECT_TRUE(Shows(Capture(window.control), failed));
    EXPECT_EQ(window.bar.GetWindowText(), "Download failed!");
    EXPECT_EQ(SendMessageA(window.control, PBM_GETPOS, 0, 0), 40);
}

// The installer's own template: control 1000 becomes the bar through DDX_Control, and its first
// picture uses the dialog's font. (The dialog manager turns the template's WS_BORDER into an edge
// that the themed control drops, so this bar's client area is the whole 444 x 20.)
class TemplateDialog : public CDialog {
public:
    TemplateDialog() : CDialog(IDD_INSTALLER_DIALOG) {}
    PercentProgressBar progress;
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        EXPECT_EQ(progress.m_hWnd, GetDlgItem(IDC_PROGRESS));
        EXPECT_EQ(progress.GetWindowText(), "");  // not the template's "Progress1"
        progress.MoveWindow(15, 190, 444, 20);
        progress.ShowWindow(SW_SHOW);
        progress.SendMessage(PBM_SETPOS, 0);
        HFONT font = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
        EXPECT_NE(font, nullptr);
        const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
        const COLORREF windowColor = GetSysColor(COLOR_WINDOW);
        EXPECT_TRUE(Shows(Print(progress.m_hWnd), {0, "0%", highlight, windowColor, windowColor, highlight, font}));
        EndDialog(IDOK);
        return TRUE;
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDC_PROGRESS, progress); }
};

TEST(PercentProgressBar, BindsToTheDialogTemplateControl) {
    TemplateDialog dialog;
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(dialog.progress.m_hWnd, nullptr);
}

TEST(OffscreenDC, ComposesInTheClipBoxAndCopiesItOnceAtTheEnd) {
    Canvas target(444, 20, kWhite);
    IntersectClipRect(target.dc(), 100, 2, 200, 18);
    CDC targetDC(target.dc());
    {
        OffscreenDC dc(&targetDC);
        ASSERT_TRUE(dc.IsOffscreen());
        EXPECT_NE(dc.m_hDC, target.dc());
        CBrush red(kRed);
        CBrush green(kSkin);
        RECT all{0, 0, 444, 20};
        RECT corner{100, 2, 110, 12};  // the target's coordinates
        dc.FillRect(&all, red);
        dc.FillRect(&corner, green);
        EXPECT_EQ(target.Pixel(150, 10), kWhite);  // nothing reaches the target before the end
    }
    struct Probe {
        int x, y;
        COLORREF color;
    };
    const Probe probes[] = {{99, 10, kWhite}, {100, 2, kSkin}, {109, 11, kSkin}, {110, 2, kRed},
                            {100, 12, kRed},  {199, 17, kRed}, {200, 10, kWhite}, {150, 1, kWhite},
                            {150, 18, kWhite}};
    for (const Probe& p : probes) {
        SCOPED_TRACE(testing::Message() << "(" << p.x << ", " << p.y << ")");
        EXPECT_EQ(target.Pixel(p.x, p.y), p.color);
    }
}

TEST(OffscreenDC, DrawsDirectlyWhereNoBitmapCanStandIn) {
    // A metafile records drawing; a bitmap copy would not be recorded as drawing.
    HDC metafile = CreateMetaFileA(nullptr);
    ASSERT_NE(metafile, nullptr);
    {
        CDC target(metafile);
        OffscreenDC dc(&target);
        EXPECT_FALSE(dc.IsOffscreen());
        EXPECT_EQ(dc.m_hDC, metafile);
    }
    HMETAFILE recorded = CloseMetaFile(metafile);  // the borrowed DC is still alive
    EXPECT_NE(recorded, nullptr);
    DeleteMetaFile(recorded);

    // Nothing visible to compose.
    Canvas canvas(10, 10, kWhite);
    IntersectClipRect(canvas.dc(), 0, 0, 0, 0);
    CDC target(canvas.dc());
    OffscreenDC dc(&target);
    EXPECT_FALSE(dc.IsOffscreen());
    EXPECT_EQ(dc.m_hDC, canvas.dc());
}

}  // namespace
