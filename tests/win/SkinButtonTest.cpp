// The skin button on real windows: what a sequence of mouse moves, presses and state messages
// causes (invalidations and tracking requests, recorded step by step as Wine's own control tests
// do), the default-button and check-box protocols, double clicks, the tooltip, every look of a
// paint read back from a bitmap, the ownership of its GDI objects, and a screenshot for a person.
#include "app/InstallerDialog.h"
#include "controls/SkinButton.h"
#include "framework/Dialog.h"
#include "resource.h"

#include <winternl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr COLORREF kParent = RGB(10, 120, 200);
constexpr COLORREF kKey = RGB(255, 0, 0);
constexpr COLORREF kHotInk = RGB(0, 255, 255);
constexpr COLORREF kNormalInk = RGB(255, 255, 0);
constexpr COLORREF kHotBack = RGB(200, 0, 0);
constexpr COLORREF kNormalBack = RGB(0, 0, 160);
constexpr COLORREF kFocusBack = RGB(0, 160, 0);
constexpr COLORREF kHotText = RGB(250, 250, 250);
constexpr COLORREF kNormalText = RGB(240, 240, 0);
constexpr COLORREF kFocusText = RGB(0, 240, 240);

// The members a test reads or drives directly.
class ProbeButton : public SkinButton {
public:
    using SkinButton::backgroundDC;
    using SkinButton::checkBox;
    using SkinButton::colors;
    using SkinButton::hotImage;
    using SkinButton::hovering;
    using SkinButton::isDefault;
    using SkinButton::normalImage;
    using SkinButton::toolTip;
};

void Pump() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Pumps until `done` holds, for at most about two seconds.
template <typename Done>
bool PumpUntil(Done done) {
    for (int i = 0; i < 200 && !done(); ++i) {
        Pump();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return done();
}

// A top-level window filled with kParent that reflects its children's notifications (it is tied
// to this object) and records the button notifications it gets.
class Host : public CWnd {
public:
    explicit Host(int width = 320, int height = 160, COLORREF fill = kParent) : brush_(::CreateSolidBrush(fill)) {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = ::DefWindowProcA;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "SkinButtonTestHost";
        windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
        RegisterClassA(&windowClass);  // fails harmlessly from the second host on
        HWND window = CreateWindowExA(0, "SkinButtonTestHost", "skin buttons", WS_POPUP | WS_VISIBLE, 100, 100,
                                      width, height, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        SetClassLongPtrA(window, GCLP_HBRBACKGROUND, reinterpret_cast<LONG_PTR>(brush_.get()));
        SubclassWindow(window);
        SetForegroundWindow(window);
        ::InvalidateRect(window, nullptr, TRUE);
        ::UpdateWindow(window);
        Pump();
    }
    ~Host() override {
        if (m_hWnd) DestroyWindow(m_hWnd);
    }
    // Fills the client area with another colour, as a new background picture would.
    void Repaint(COLORREF fill) {
        brush_.reset(::CreateSolidBrush(fill));
        SetClassLongPtrA(m_hWnd, GCLP_HBRBACKGROUND, reinterpret_cast<LONG_PTR>(brush_.get()));
        ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }

    std::vector<UINT> notifications;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM) override {
        if (message == WM_COMMAND) notifications.push_back(HIWORD(wParam));
        return Default();
    }

private:
    UniqueGdiObject brush_;
};

// A child button of `host` at (20, 20), 60 x 30, with the given style bits added.
void CreateButton(SkinButton& button, Host& host, DWORD style = 0, const char* caption = "", int x = 20,
                  UINT id = 1100) {
    ASSERT_TRUE(button.Create(caption, WS_CHILD | WS_VISIBLE | WS_TABSTOP | style, CRect(x, 20, x + 60, 50), &host, id));
}

POINT ScreenCentre(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// What the last step caused: "invalidate" if the button has a region to repaint, "track" if the
// skin button asked for a leave notice. Both are cleared, so each step is seen on its own. (The
// system button behind it asks for hover and leave notices of its own on a move when none is
// pending; the skin button asks for the leave notice alone, after the system button saw the move.)
std::string Caused(HWND button) {
    std::string caused;
    if (GetUpdateRect(button, nullptr, FALSE)) caused = "invalidate";
    ValidateRect(button, nullptr);
    TRACKMOUSEEVENT query{sizeof(query), TME_QUERY, nullptr, 0};
    _TrackMouseEvent(&query);
    if (query.hwndTrack == button && (query.dwFlags & (TME_LEAVE | TME_HOVER)) == TME_LEAVE)
        caused += caused.empty() ? "track" : " track";
    if (query.hwndTrack == button) {
        TRACKMOUSEEVENT cancel{sizeof(cancel), TME_CANCEL | TME_LEAVE, button, 0};
        _TrackMouseEvent(&cancel);
    }
    return caused;
}

LPARAM Point(int x, int y) { return MAKELPARAM(static_cast<WORD>(x), static_cast<WORD>(y)); }

// A button in a host with the real pointer over it, in the normal state with nothing pending.
struct HoverFixture {
    Host host;
    ProbeButton button;
    explicit HoverFixture(BOOL flat = TRUE) {
        CreateButton(button, host);
        button.SetFlatStyle(flat, FALSE);
        POINT centre = ScreenCentre(button.m_hWnd);
        SetCursorPos(centre.x, centre.y);
        Pump();
        button.SendMessage(WM_MOUSELEAVE);
        Caused(button.m_hWnd);
    }
    std::string Move(int x, int y, WPARAM keys = 0) {
        button.SendMessage(WM_MOUSEMOVE, keys, Point(x, y));
        return Caused(button.m_hWnd);
    }
    std::string Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
        button.SendMessage(message, wParam, lParam);
        return Caused(button.m_hWnd);
    }
};

TEST(SkinButtonHover, EnteringAndLeavingInvalidatesOnceEachAndTracksOnce) {
    HoverFixture f;
    EXPECT_EQ(f.Move(30, 15), "invalidate track");
    EXPECT_TRUE(f.button.hovering);
    EXPECT_EQ(f.Move(31, 16), "");  // already hot: no second repaint, no second request
    EXPECT_EQ(f.Move(5, 5), "");
    EXPECT_EQ(f.Send(WM_MOUSELEAVE), "invalidate");
    EXPECT_FALSE(f.button.hovering);
    EXPECT_EQ(f.Send(WM_MOUSELEAVE), "");
}

TEST(SkinButtonHover, ThreeDimensionalButtonNeverBecomesHot) {
    HoverFixture f(FALSE);
    EXPECT_EQ(f.Move(30, 15), "");
    EXPECT_EQ(f.Move(31, 15), "");
    EXPECT_FALSE(f.button.hovering);
}

TEST(SkinButtonHover, PressThatBeganElsewhereNeverMakesItHot) {
    HoverFixture f;
    EXPECT_EQ(f.Move(30, 15, MK_LBUTTON), "");
    EXPECT_FALSE(f.button.hovering);
    // Hot before the press: it stays hot while pressed over it, and stops when dragged off it
    // (the button then holds the capture and gets moves from outside).
    EXPECT_EQ(f.Move(30, 15), "invalidate track");
    EXPECT_EQ(f.Move(32, 15, MK_LBUTTON), "");
    EXPECT_TRUE(f.button.hovering);
    EXPECT_EQ(f.Move(-10, -10, MK_LBUTTON), "invalidate");
    EXPECT_FALSE(f.button.hovering);
}

TEST(SkinButtonHover, EveryWayOutOfTheHotState) {
    struct Way {
        const char* what;
        void (*leave)(HoverFixture&);
    };
    const Way ways[] = {
        {"WM_MOUSELEAVE", [](HoverFixture& f) { f.button.SendMessage(WM_MOUSELEAVE); }},
        {"move over another window", [](HoverFixture& f) { f.button.SendMessage(WM_MOUSEMOVE, 0, Point(100, 10)); }},
        {"WM_KILLFOCUS", [](HoverFixture& f) { f.button.SendMessage(WM_KILLFOCUS); }},
        {"WM_CANCELMODE", [](HoverFixture& f) { f.button.SendMessage(WM_CANCELMODE); }},
        {"WM_ACTIVATE inactive", [](HoverFixture& f) { f.button.SendMessage(WM_ACTIVATE, WA_INACTIVE); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.what);
        HoverFixture f;
        ASSERT_EQ(f.Move(30, 15), "invalidate track");
        way.leave(f);
        EXPECT_FALSE(f.button.hovering);
        EXPECT_EQ(Caused(f.button.m_hWnd), "invalidate");
    }
    {
        // Disabled: the system repaints the button at once, so only the state is seen.
        HoverFixture f;
        f.Move(30, 15);
        EnableWindow(f.button.m_hWnd, FALSE);
        EXPECT_FALSE(f.button.hovering);
    }
    // Becoming active is no way out.
    HoverFixture f;
    f.Move(30, 15);
    EXPECT_EQ(f.Send(WM_ACTIVATE, WA_ACTIVE), "");
    EXPECT_TRUE(f.button.hovering);
}

// The leave request reaches the system: moving the real pointer away ends the hot state.
TEST(SkinButtonHover, RealPointerLeavingEndsTheHotState) {
    HoverFixture f;
    f.button.SendMessage(WM_MOUSEMOVE, 0, Point(30, 15));
    ASSERT_TRUE(f.button.hovering);
    RECT host;
    GetWindowRect(f.host.m_hWnd, &host);
    SetCursorPos(host.right - 10, host.bottom - 10);
    EXPECT_TRUE(PumpUntil([&] { return !f.button.hovering; }));
}

TEST(SkinButton, AttachingMakesItOwnerDrawnAndReadsItsType) {
    struct Case {
        DWORD type;
        bool checkBox, isDefault;
    };
    const Case cases[] = {
        {BS_PUSHBUTTON, false, false}, {BS_DEFPUSHBUTTON, false, true}, {BS_CHECKBOX, true, false},
        {BS_AUTOCHECKBOX, true, false}, {BS_3STATE, false, false},      {BS_AUTO3STATE, true, false},
        {BS_GROUPBOX, true, false},     {BS_PUSHBOX, true, false},      {BS_OWNERDRAW, true, false},
        {BS_RADIOBUTTON, false, false}, {BS_AUTORADIOBUTTON, false, false},
    };
    Host host;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type);
        ProbeButton button;
        CreateButton(button, host, c.type);
        EXPECT_EQ(GetWindowLongA(button.m_hWnd, GWL_STYLE) & 0x1F, BS_OWNERDRAW);
        EXPECT_EQ(button.checkBox != FALSE, c.checkBox);
        EXPECT_EQ(button.isDefault != FALSE, c.isDefault);
        // Check-box mode answers the check messages; a push button ignores them, unrepainted.
        ValidateRect(button.m_hWnd, nullptr);
        EXPECT_EQ(button.SendMessage(BM_SETCHECK, BST_INDETERMINATE), 0);
        EXPECT_EQ(button.SendMessage(BM_GETCHECK), c.checkBox ? 1 : 0);
        EXPECT_EQ(GetUpdateRect(button.m_hWnd, nullptr, FALSE) != FALSE, c.checkBox);
        DestroyWindow(button.m_hWnd);
    }
}

TEST(SkinButton, ClickTogglesACheckBoxAndReachesTheParent) {
    Host host;
    ProbeButton box, push;
    CreateButton(box, host, BS_AUTOCHECKBOX, "", 20, 1101);
    CreateButton(push, host, BS_PUSHBUTTON, "", 100, 1102);
    box.SendMessage(BM_CLICK);
    EXPECT_EQ(box.SendMessage(BM_GETCHECK), 1);
    EXPECT_EQ(GetFocus(), box.m_hWnd);  // a click focuses the button
    box.SendMessage(BM_CLICK);
    EXPECT_EQ(box.SendMessage(BM_GETCHECK), 0);
    push.SendMessage(BM_CLICK);
    EXPECT_EQ(push.SendMessage(BM_GETCHECK), 0);
    EXPECT_EQ(GetFocus(), push.m_hWnd);
    EXPECT_EQ(host.notifications, (std::vector<UINT>{BN_CLICKED, BN_CLICKED, BN_CLICKED}));
}

// Input goes through the queue, as a real double click does. The system button alone would
// report the second click as BN_DOUBLECLICKED; the skin button clicks twice.
TEST(SkinButton, DoubleClickIsASecondClick) {
    auto clickTwice = [](CButton& button, Host& host) {
        host.notifications.clear();
        for (UINT message : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
            button.PostMessage(message, message == WM_LBUTTONUP ? 0 : MK_LBUTTON, Point(10, 10));
        Pump();
        return host.notifications;
    };
    Host host;
    SkinButton skin;
    CreateButton(skin, host);
    EXPECT_EQ(clickTwice(skin, host), (std::vector<UINT>{BN_CLICKED, BN_CLICKED}));
    CButton plain;
    ASSERT_TRUE(plain.Create("", WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, CRect(100, 20, 160, 50), &host, 1200));
    EXPECT_EQ(clickTwice(plain, host), (std::vector<UINT>{BN_CLICKED, BN_DOUBLECLICKED}));
}

TEST(SkinButton, ToolTipExistsButNeverShowsATip) {
    HoverFixture f;
    f.Move(30, 15);
    HWND tip = f.button.toolTip.m_hWnd;
    ASSERT_NE(tip, nullptr);
    char className[64] = {};
    GetClassNameA(tip, className, sizeof(className));
    EXPECT_STREQ(className, TOOLTIPS_CLASSA);
    EXPECT_EQ(GetWindow(tip, GW_OWNER), f.host.m_hWnd);
    EXPECT_EQ(CWnd::FromHandlePermanent(tip), &f.button.toolTip);
    for (int x = 10; x < 50; x += 5) f.button.PostMessage(WM_MOUSEMOVE, 0, Point(x, 15));
    PumpUntil([] { return false; });  // the tooltip's own delays pass
    EXPECT_EQ(SendMessageA(tip, TTM_GETTOOLCOUNT, 0, 0), 0);
    EXPECT_FALSE(IsWindowVisible(tip));
    // The tooltip goes with its owner window, its object lets go of it, and the button does not
    // make another for a window on its way out.
    DestroyWindow(f.host.m_hWnd);
    EXPECT_FALSE(IsWindow(tip));
    EXPECT_EQ(f.button.toolTip.m_hWnd, nullptr);
}

TEST(SkinButton, DisablingMovesTheFocusOn) {
    Host host;
    SkinButton first, second, third;
    CreateButton(first, host, 0, "", 10, 1101);
    CreateButton(second, host, 0, "", 80, 1102);
    CreateButton(third, host, 0, "", 150, 1103);
    SetFocus(first.m_hWnd);
    ASSERT_EQ(GetFocus(), first.m_hWnd);
    // Also when the disabled button did not have the focus.
    EnableWindow(second.m_hWnd, FALSE);
    EXPECT_EQ(GetFocus(), third.m_hWnd);
    EnableWindow(third.m_hWnd, FALSE);
    EXPECT_EQ(GetFocus(), first.m_hWnd);  // round to the first stop
    EnableWindow(first.m_hWnd, FALSE);
    EXPECT_EQ(GetFocus(), host.m_hWnd);  // no stop left: the parent
}

TEST(SkinButton, SettersCheckTheirArgumentsAndRepaintOnlyWhenAsked) {
    Host host;
    ProbeButton button;
    CreateButton(button, host);
    ValidateRect(button.m_hWnd, nullptr);
    EXPECT_EQ(button.SetColorSlot(6, RGB(1, 2, 3), TRUE), SKINBTN_BADSLOT);
    EXPECT_EQ(button.SetPressedShift(2, TRUE), SKINBTN_BADSHIFT);
    EXPECT_FALSE(GetUpdateRect(button.m_hWnd, nullptr, FALSE));
    EXPECT_EQ(button.colors[5], GetSysColor(COLOR_BTNTEXT));
    EXPECT_EQ(button.SetColorSlot(5, RGB(1, 2, 3), FALSE), SKINBTN_OK);
    EXPECT_FALSE(GetUpdateRect(button.m_hWnd, nullptr, FALSE));
    EXPECT_EQ(button.colors[5], RGB(1, 2, 3));
    EXPECT_EQ(button.SetFlatStyle(FALSE, TRUE), SKINBTN_OK);
    EXPECT_TRUE(GetUpdateRect(button.m_hWnd, nullptr, FALSE));
    // Without a window nothing is invalidated (a null window would mean every window).
    SkinButton unattached;
    EXPECT_EQ(unattached.SetColorSlot(0, RGB(1, 2, 3), TRUE), SKINBTN_OK);
    EXPECT_EQ(unattached.SetImages(nullptr, 0, nullptr, 0), SKINBTN_OK);
}

TEST(SkinButton, SystemColourChangeDropsColoursAndCachedPixels) {
    Host host;
    ProbeButton button;
    CreateButton(button, host);
    button.UseParentBackground(FALSE);
    for (BYTE slot = 0; slot < 6; ++slot) button.SetColorSlot(slot, RGB(slot, 2, 3), FALSE);
    button.UpdateWindow();
    ASSERT_TRUE(button.backgroundDC);  // the first paint took the parent's pixels
    button.SendMessage(WM_SYSCOLORCHANGE);
    EXPECT_FALSE(button.backgroundDC);
    for (int slot = 0; slot < 6; ++slot)
        EXPECT_EQ(button.colors[slot], GetSysColor(slot % 2 ? COLOR_BTNTEXT : COLOR_BTNFACE)) << slot;
    EXPECT_TRUE(GetUpdateRect(button.m_hWnd, nullptr, FALSE));
}

// ---- the default-button protocol inside a real dialog

class ButtonDialog : public CDialog {
public:
    explicit ButtonDialog(void (*body)(ButtonDialog&)) : CDialog(IDD_INSTALLER_DIALOG), body_(body) {}
    ProbeButton cancel;
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        body_(*this);
        return TRUE;
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDCANCEL, cancel); }

private:
    void (*body_)(ButtonDialog&);
};

TEST(SkinButton, DialogManagerMakesItTheDefaultButtonAndBack) {
    ButtonDialog dialog([](ButtonDialog& d) {
        HWND cancel = d.cancel.m_hWnd;
        EXPECT_EQ(GetWindowLongA(cancel, GWL_STYLE) & 0x1F, BS_OWNERDRAW);
        EXPECT_TRUE(d.cancel.SendMessage(WM_GETDLGCODE) & DLGC_UNDEFPUSHBUTTON);
        // Focus on a push button makes it the default one, through BM_SETSTYLE.
        d.SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(cancel), TRUE);
        EXPECT_TRUE(d.cancel.isDefault);
        LRESULT code = d.cancel.SendMessage(WM_GETDLGCODE);
        EXPECT_TRUE(code & DLGC_DEFPUSHBUTTON);
        EXPECT_FALSE(code & DLGC_UNDEFPUSHBUTTON);
        EXPECT_EQ(GetWindowLongA(cancel, GWL_STYLE) & 0x1F, BS_OWNERDRAW);
        d.cancel.SendMessage(BM_SETSTYLE, BS_PUSHBUTTON, FALSE);
        EXPECT_FALSE(d.cancel.isDefault);
        EXPECT_TRUE(d.cancel.SendMessage(WM_GETDLGCODE) & DLGC_UNDEFPUSHBUTTON);
        EXPECT_EQ(GetWindowLongA(cancel, GWL_STYLE) & 0x1F, BS_OWNERDRAW);
        d.cancel.SendMessage(BM_SETSTYLE, BS_CHECKBOX, FALSE);  // another type leaves the state
        EXPECT_FALSE(d.cancel.isDefault);
        EXPECT_EQ(GetWindowLongA(cancel, GWL_STYLE) & 0x1F, BS_OWNERDRAW);
        d.EndDialog(IDABORT);
    });
    EXPECT_EQ(dialog.DoModal(), IDABORT);
}

// ---- painting, read back from a bitmap

// A 32-bit DIB section in a memory DC; DrawItem paints into it as into the owner-draw DC.
class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(info.bmiHeader), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        bitmap_.reset(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits_, nullptr, 0));
        dc_.reset(CreateCompatibleDC(nullptr));
        SelectObject(dc_.get(), bitmap_.get());
    }
    HDC dc() const { return dc_.get(); }
    COLORREF At(int x, int y) const {
        GdiFlush();
        uint32_t bgr = static_cast<const uint32_t*>(bits_)[y * width_ + x];
        return RGB((bgr >> 16) & 0xFF, (bgr >> 8) & 0xFF, bgr & 0xFF);
    }
    // Whether every pixel of row y from x0 to x1 - 1 has `color`.
    bool Row(int y, int x0, int x1, COLORREF color) const {
        for (int x = x0; x < x1; ++x)
            if (At(x, y) != color) return false;
        return true;
    }
    bool Contains(COLORREF color) const {
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x)
                if (At(x, y) == color) return true;
        return false;
    }

private:
    int width_, height_;
    void* bits_ = nullptr;
    UniqueGdiObject bitmap_;
    UniqueMemoryDC dc_;
};

// A 20 x 10 bitmap: the left half the key colour, the right half `ink`.
HBITMAP MakeImage(COLORREF ink, COLORREF key = kKey) {
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 20, 10);
    HDC dc = CreateCompatibleDC(screen);
    HGDIOBJ old = SelectObject(dc, bitmap);
    CBrush keyBrush(key), inkBrush(ink);
    RECT left{0, 0, 10, 10}, right{10, 0, 20, 10};
    FillRect(dc, &left, keyBrush);
    FillRect(dc, &right, inkBrush);
    SelectObject(dc, old);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return bitmap;
}

// A 60 x 30 button in a host, in the test colours, not shown (the host's pixels stay under it).
struct PaintFixture {
    Host host;
    ProbeButton button;
    Canvas canvas{60, 30};
    explicit PaintFixture(BOOL flat = TRUE, const char* caption = "", DWORD style = 0) {
        EXPECT_TRUE(button.Create(caption, WS_CHILD | WS_TABSTOP | style, CRect(20, 20, 80, 50), &host, 1100));
        button.SetFlatStyle(flat, FALSE);
        const COLORREF colours[6] = {kHotBack, kHotText, kNormalBack, kNormalText, kFocusBack, kFocusText};
        for (BYTE slot = 0; slot < 6; ++slot) button.SetColorSlot(slot, colours[slot], FALSE);
    }
    void Images() { EXPECT_EQ(button.SetImages(MakeImage(kHotInk), kKey, MakeImage(kNormalInk), kKey), SKINBTN_OK); }
    void Paint(UINT state) {
        DRAWITEMSTRUCT item{};
        item.CtlType = ODT_BUTTON;
        item.CtlID = 1100;
        item.itemAction = ODA_DRAWENTIRE;
        item.itemState = state;
        item.hwndItem = button.m_hWnd;
        item.hDC = canvas.dc();
        item.rcItem = {0, 0, 60, 30};
        button.DrawItem(&item);
    }
    void Hover() {
        button.ShowWindow(SW_SHOW);
        POINT centre = ScreenCentre(button.m_hWnd);
        SetCursorPos(centre.x, centre.y);
        button.SendMessage(WM_MOUSEMOVE, 0, Point(30, 15));
        ASSERT_TRUE(button.hovering);
    }
};

// The image sits at (20, 10)-(40, 20): key columns 20-29, ink columns 30-39.
TEST(SkinButtonPaint, FlatStatesChooseFaceImageAndEdge) {
    struct Case {
        const char* what;
        bool hover;
        UINT state;
        COLORREF face, ink, topLeft, bottomRight;
    };
    const COLORREF highlight = GetSysColor(COLOR_BTNHIGHLIGHT), shadow = GetSysColor(COLOR_BTNSHADOW);
    const Case cases[] = {
        {"normal", false, 0, kNormalBack, kNormalInk, kNormalBack, kNormalBack},
        {"focused", false, ODS_FOCUS, kFocusBack, kNormalInk, kFocusBack, kFocusBack},
        {"hot: raised edge", true, 0, kHotBack, kHotInk, highlight, shadow},
        {"pressed: sunken edge", true, ODS_SELECTED, kHotBack, kHotInk, shadow, highlight},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PaintFixture f;
        f.Images();
        if (c.hover) f.Hover();
        f.Paint(c.state);
        int shift = (c.state & ODS_SELECTED) ? 1 : 0;
        EXPECT_EQ(f.canvas.At(5, 5), c.face);
        EXPECT_EQ(f.canvas.At(25 + shift, 15), c.face) << "the key colour shows the face";
        EXPECT_EQ(f.canvas.At(35 + shift, 15), c.ink);
        EXPECT_EQ(f.canvas.At(0, 0), c.topLeft);
        EXPECT_EQ(f.canvas.At(59, 29), c.bottomRight);
        EXPECT_TRUE(f.canvas.Row(3, 5, 55, c.face)) << "no focus rectangle on a flat button";
    }
}

TEST(SkinButtonPaint, PressedShiftMovesTheImage) {
    for (BYTE style : {0, 1}) {
        SCOPED_TRACE(static_cast<int>(style));
        PaintFixture f;
        f.Images();
        f.button.SetHoverBorder(FALSE, FALSE);
        f.button.SetPressedShift(style, FALSE);
        f.Paint(ODS_SELECTED);
        int dx = style == 0 ? 1 : 0, dy = style == 0 ? 1 : 2;
        EXPECT_EQ(f.canvas.At(30 + dx, 10 + dy), kHotInk);
        EXPECT_EQ(f.canvas.At(39 + dx, 19 + dy), kHotInk);
        EXPECT_EQ(f.canvas.At(29 + dx, 10 + dy), kHotBack);
        EXPECT_EQ(f.canvas.At(30 + dx, 9 + dy), kHotBack);
    }
}

TEST(SkinButtonPaint, OnlyTheHotImageServesEveryState) {
    PaintFixture f;
    ASSERT_EQ(f.button.SetImages(MakeImage(kHotInk), kKey, nullptr, kKey), SKINBTN_OK);
    f.Paint(0);
    EXPECT_EQ(f.canvas.At(35, 15), kHotInk);
    // A key colour that does not occur leaves the image opaque.
    PaintFixture g;
    ASSERT_EQ(g.button.SetImages(MakeImage(kHotInk), RGB(1, 2, 3), nullptr, 0), SKINBTN_OK);
    g.Paint(0);
    EXPECT_EQ(g.canvas.At(25, 15), kKey);
}

TEST(SkinButtonPaint, CheckBoxHoverChangesColoursNotTheImage) {
    PaintFixture f(TRUE, "", BS_AUTOCHECKBOX);
    f.Images();
    f.Hover();
    f.Paint(0);
    EXPECT_EQ(f.canvas.At(5, 5), kHotBack);
    EXPECT_EQ(f.canvas.At(35, 15), kNormalInk);
    // Checked: drawn pressed with the hot image, never shifted.
    f.button.SetCheckState(TRUE, FALSE);
    f.Paint(0);
    EXPECT_EQ(f.canvas.At(30, 10), kHotInk);
    EXPECT_EQ(f.canvas.At(29, 10), kHotBack);
}

TEST(SkinButtonPaint, ThreeDimensionalEdgesAndDefaultFrame) {
    {
        PaintFixture f(FALSE);
        f.Paint(0);
        EXPECT_EQ(f.canvas.At(0, 0), GetSysColor(COLOR_BTNHIGHLIGHT));
        EXPECT_EQ(f.canvas.At(1, 1), GetSysColor(COLOR_3DLIGHT));
        EXPECT_EQ(f.canvas.At(59, 29), GetSysColor(COLOR_3DDKSHADOW));
        EXPECT_EQ(f.canvas.At(58, 28), GetSysColor(COLOR_BTNSHADOW));
        EXPECT_EQ(f.canvas.At(5, 5), kNormalBack);
    }
    {
        PaintFixture f(FALSE);
        f.Paint(ODS_SELECTED | ODS_FOCUS);
        EXPECT_EQ(f.canvas.At(0, 0), RGB(0, 0, 0));  // the default frame
        EXPECT_EQ(f.canvas.At(1, 1), GetSysColor(COLOR_BTNSHADOW));
        EXPECT_EQ(f.canvas.At(58, 28), GetSysColor(COLOR_BTNSHADOW));
        EXPECT_EQ(f.canvas.At(5, 5), kHotBack);
    }
}

// The focus rectangle is dotted: some pixels of its top row differ from the face, none of the
// row above it does.
TEST(SkinButtonPaint, FocusRectangleInset) {
    struct Case {
        const char* what;
        BOOL flat, flatFocusRect, parentBackground;
        int inset;
        COLORREF face;
    };
    const Case cases[] = {
        {"3D with a state colour", FALSE, FALSE, FALSE, 4, kFocusBack},
        {"3D over the parent's pixels", FALSE, FALSE, TRUE, 3, kParent},
        {"flat with the focus rectangle", TRUE, TRUE, FALSE, 3, kFocusBack},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PaintFixture f(c.flat);
        f.button.SetFlatFocusRect(c.flatFocusRect, FALSE);
        if (c.parentBackground) f.button.UseParentBackground(FALSE);
        f.Paint(ODS_FOCUS);
        EXPECT_TRUE(f.canvas.Row(c.inset - 1, 6, 54, c.face));
        EXPECT_FALSE(f.canvas.Row(c.inset, 6, 54, c.face));
        EXPECT_TRUE(f.canvas.Row(c.inset + 1, 6, 54, c.face));
    }
}

TEST(SkinButtonPaint, ParentPixelsShowThroughAndStayUntilDropped) {
    PaintFixture f;
    f.Images();
    f.button.UseParentBackground(FALSE);
    f.Paint(0);
    EXPECT_EQ(f.canvas.At(5, 5), kParent);
    EXPECT_EQ(f.canvas.At(25, 15), kParent) << "the key colour shows the parent's pixels";
    EXPECT_EQ(f.canvas.At(35, 15), kNormalInk);
    // A new picture under the button: the copy stays until it is dropped.
    const COLORREF newPicture = RGB(90, 30, 60);
    f.host.Repaint(newPicture);
    f.Paint(0);
    EXPECT_EQ(f.canvas.At(5, 5), kParent);
    f.button.UseParentBackground(FALSE);
    f.Paint(0);
    EXPECT_EQ(f.canvas.At(5, 5), newPicture);
}

TEST(SkinButtonPaint, DisabledKeepsTheFaceAndEmbossesImageAndCaption) {
    PaintFixture f(FALSE, "Cancel");
    f.Images();
    f.Paint(ODS_DISABLED);
    EXPECT_EQ(f.canvas.At(30, 3), kNormalBack);
    EXPECT_NE(f.canvas.At(16, 15), kNormalBack) << "the image's ink is drawn, embossed";
    EXPECT_FALSE(f.canvas.Contains(kNormalInk));
    EXPECT_FALSE(f.canvas.Contains(kNormalText));
    // Enabled, the caption is in its slot's colour.
    f.Paint(0);
    EXPECT_TRUE(f.canvas.Contains(kNormalText));
    EXPECT_TRUE(f.canvas.Contains(kNormalInk));
}

TEST(SkinButtonPaint, DerivedNormalImages) {
    struct Case {
        HBITMAP normal;
        COLORREF ink;
    };
    const COLORREF ink = RGB(255, 128, 3);
    const Case cases[] = {{SKINBTN_GRAYED, RGB(151, 151, 151)}, {SKINBTN_DIMMED, RGB(191, 96, 2)}};
    for (const Case& c : cases) {
        PaintFixture f;
        ASSERT_EQ(f.button.SetImages(MakeImage(ink), kKey, c.normal, 0), SKINBTN_OK);
        f.Paint(0);
        EXPECT_EQ(f.canvas.At(35, 15), c.ink);
        EXPECT_EQ(f.canvas.At(25, 15), kNormalBack) << "the key pixels keep the key";
    }
}

// ---- images and the ownership of GDI objects

// The process's GDI handle table as Wine publishes it in the process environment block (24 bytes
// an entry, the type in byte 14). A 32-bit process under WoW64 finds it in the 64-bit block,
// through the 64-bit thread block whose address Wine keeps in the 32-bit one's GDI batch count.
const uint8_t* WineGdiTable() {
#ifndef _WIN64
    auto* teb = reinterpret_cast<const uint8_t*>(NtCurrentTeb());
    const ULONG teb64 = *reinterpret_cast<const ULONG*>(teb + 0xF70);
    if (teb64) {
        const uint64_t peb64 = *reinterpret_cast<const uint64_t*>(static_cast<uintptr_t>(teb64) + 0x60);
        const uint64_t table = *reinterpret_cast<const uint64_t*>(static_cast<uintptr_t>(peb64) + 0xF8);
        return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(table));
    }
#endif
    PROCESS_BASIC_INFORMATION process{};
    if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &process, sizeof(process), nullptr) != 0)
        return nullptr;
    auto* peb = reinterpret_cast<const uint8_t*>(process.PebBaseAddress);
#ifdef _WIN64
    constexpr size_t kGdiTableField = 0xF8;
#else
    constexpr size_t kGdiTableField = 0x94;
#endif
    return *reinterpret_cast<const uint8_t* const*>(peb + kGdiTableField);
}

// The process's GDI objects: the system's count where it keeps one; Wine's GetGuiResources is a
// stub, so there the live entries of Wine's handle table are counted.
unsigned GdiObjects() {
    DWORD count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (count != 0) return count;
    const uint8_t* table = WineGdiTable();
    unsigned live = 0;
    for (unsigned i = 0; table && i < 0x10000; ++i) live += table[i * 24 + 14] != 0;
    return live;
}

TEST(SkinButtonImages, FailuresLeaveNoImagesAndTheButtonOwnsWhatItWasGiven) {
    Host host;
    ProbeButton button;
    CreateButton(button, host);
    ASSERT_EQ(button.SetImages(MakeImage(kHotInk), kKey, MakeImage(kNormalInk), kKey), SKINBTN_OK);
    HBITMAP oldHot = button.hotImage.Bitmap();
    ValidateRect(button.m_hWnd, nullptr);

    HBITMAP normal = MakeImage(kNormalInk);
    HBRUSH notABitmap = CreateSolidBrush(RGB(1, 1, 1));
    EXPECT_EQ(button.SetImages(reinterpret_cast<HBITMAP>(notABitmap), kKey, normal, kKey), SKINBTN_BADIMAGE);
    EXPECT_EQ(GetObjectType(oldHot), 0u) << "the previous pair is deleted";
    EXPECT_EQ(GetObjectType(normal), 0u) << "a given normal image is not left to the caller";
    EXPECT_FALSE(button.hotImage.bitmap || button.normalImage.bitmap);
    EXPECT_FALSE(GetUpdateRect(button.m_hWnd, nullptr, FALSE));

    HBITMAP hot = MakeImage(kHotInk);
    notABitmap = CreateSolidBrush(RGB(1, 1, 1));
    EXPECT_EQ(button.SetImages(hot, kKey, reinterpret_cast<HBITMAP>(notABitmap), kKey), SKINBTN_BADIMAGE);
    EXPECT_EQ(GetObjectType(hot), 0u);
    EXPECT_FALSE(button.hotImage.bitmap || button.hotImage.mask || button.normalImage.bitmap);

    // A hot image the caller still has selected cannot be masked.
    hot = MakeImage(kHotInk);
    HDC holder = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(holder, hot);
    EXPECT_EQ(button.SetImages(hot, kKey, nullptr, 0), SKINBTN_NOMASK);
    EXPECT_FALSE(button.hotImage.bitmap);
    SelectObject(holder, old);
    DeleteDC(holder);
    DeleteObject(hot);  // deleting it failed while it was selected

    // The same bitmap twice is one image, deleted once.
    hot = MakeImage(kHotInk);
    EXPECT_EQ(button.SetImages(hot, kKey, hot, kKey), SKINBTN_OK);
    EXPECT_EQ(button.hotImage.Bitmap(), hot);
    EXPECT_FALSE(button.normalImage.bitmap);
    EXPECT_TRUE(GetUpdateRect(button.m_hWnd, nullptr, FALSE));

    EXPECT_EQ(button.SetImages(nullptr, 0, nullptr, 0), SKINBTN_OK);
    EXPECT_EQ(GetObjectType(hot), 0u);
}

TEST(SkinButtonImages, HundredsOfButtonsLeaveTheGdiCountWhereItWas) {
    // The count must see objects come and go, or the comparison below would prove nothing.
    unsigned before = GdiObjects();
    HBRUSH probe = CreateSolidBrush(RGB(1, 2, 3));
    ASSERT_EQ(GdiObjects(), before + 1);
    DeleteObject(probe);
    ASSERT_EQ(GdiObjects(), before);

    Host host;
    // Each button takes another path through creation, images, paints and destruction.
    auto oneButton = [&host](int i) {
        auto button = std::make_unique<ProbeButton>();
        CreateButton(*button, host, i % 2 ? BS_DEFPUSHBUTTON : BS_AUTOCHECKBOX, i % 3 ? "Caption" : "");
        button->SetFlatStyle(i % 2, FALSE);
        if (i % 4 == 0) button->UseParentBackground(FALSE);
        for (int round = 0; round < 2; ++round) {
            button->SetImages(MakeImage(kHotInk), kKey, MakeImage(kNormalInk), kKey);
            button->SetImages(MakeImage(kHotInk), kKey, round % 2 ? SKINBTN_DIMMED : SKINBTN_GRAYED, 0);
            button->SetImages(MakeImage(kHotInk), kKey, reinterpret_cast<HBITMAP>(CreateSolidBrush(0)), 0);
            button->SetImages(MakeImage(kHotInk), kKey, nullptr, 0);
        }
        button->SendMessage(WM_MOUSEMOVE, 0, Point(3, 3));
        if (i % 3 == 1) SetFocus(button->m_hWnd);
        button->UpdateWindow();
        if (i % 5 == 0) {
            EnableWindow(button->m_hWnd, FALSE);
            button->UpdateWindow();
        }
        if (i % 7 == 0) button->SendMessage(WM_SYSCOLORCHANGE);
        button->UpdateWindow();
        HWND window = button->m_hWnd;
        if (i % 2) DestroyWindow(window);
        button.reset();  // for every other button the object goes before its window
        DestroyWindow(window);
    };
    // A first round fills the system's own caches (colour brushes, fonts, the tooltip class).
    for (int i = 0; i < 35; ++i) oneButton(i);
    const unsigned start = GdiObjects();
    for (int i = 0; i < 210; ++i) oneButton(i);
    EXPECT_EQ(GdiObjects(), start);
}

// ---- the language buttons' images

// The longest run of white pixels in any row of a bitmap, and the bitmap's size.
struct Runs {
    int width = 0, height = 0, longest = 0;
};
Runs WhiteRuns(HBITMAP bitmap) {
    Runs runs;
    BITMAP info{};
    if (!bitmap || !GetObjectA(bitmap, sizeof(info), &info)) return runs;
    runs.width = info.bmWidth;
    runs.height = info.bmHeight;
    BITMAPINFO wanted{};
    wanted.bmiHeader = {sizeof(wanted.bmiHeader), info.bmWidth, -info.bmHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<uint32_t> pixels(static_cast<size_t>(info.bmWidth) * static_cast<size_t>(info.bmHeight));
    UniqueMemoryDC dc(CreateCompatibleDC(nullptr));
    GetDIBits(dc.get(), bitmap, 0, static_cast<UINT>(info.bmHeight), pixels.data(), &wanted, DIB_RGB_COLORS);
    for (int y = 0; y < info.bmHeight; ++y) {
        int run = 0;
        for (int x = 0; x < info.bmWidth; ++x) {
            run = (pixels[static_cast<size_t>(y * info.bmWidth + x)] & 0xFFFFFF) == 0xFFFFFF ? run + 1 : 0;
            runs.longest = std::max(runs.longest, run);
        }
    }
    return runs;
}

// The underlined middle row becomes the hot image, the plain top row the normal one; a bitmap
// that is not there leaves the button without images.
TEST(LanguageButtons, BitmapRowsBecomeTheImagePair) {
    CClientDC screen(static_cast<HWND>(nullptr));
    for (UINT id = IDB_LANGUAGE_FIRST; id <= IDB_LANGUAGE_LAST; ++id) {
        SCOPED_TRACE(id);
        ProbeButton button;
        InstallerDialog::SplitLanguageBitmap(&screen, id, &button);
        Runs hot = WhiteRuns(button.hotImage.Bitmap()), normal = WhiteRuns(button.normalImage.Bitmap());
        EXPECT_EQ(hot.width, 140);
        EXPECT_EQ(hot.height, 24);
        EXPECT_EQ(normal.width, 140);
        EXPECT_EQ(normal.height, 24);
        EXPECT_GT(hot.longest, 40) << "the underline";
        EXPECT_LT(normal.longest, 20) << "letters only";
        EXPECT_EQ(button.hotImage.key, RGB(255, 0, 0));
        EXPECT_EQ(button.normalImage.key, RGB(255, 0, 0));
    }
    ProbeButton missing;
    InstallerDialog::SplitLanguageBitmap(&screen, 999, &missing);
    EXPECT_FALSE(missing.hotImage.bitmap || missing.normalImage.bitmap);
}

// ---- for a person to look at

// Saves the host's client area as a 24-bit BMP.
bool SaveScreenshot(HWND window, const char* path) {
    RECT client;
    GetClientRect(window, &client);
    const int w = client.right, h = client.bottom;
    HDC source = GetDC(window);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(info.bmiHeader), w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    UniqueGdiObject bitmap(CreateDIBSection(source, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    UniqueMemoryDC memory(CreateCompatibleDC(source));
    if (!bitmap || !memory) return false;
    HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
    BitBlt(memory.get(), 0, 0, w, h, source, 0, 0, SRCCOPY);
    SelectObject(memory.get(), old);
    ReleaseDC(window, source);
    GdiFlush();
    const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u, size = stride * static_cast<DWORD>(h);
    BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)) + size, 0, 0,
                          sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    FILE* out = std::fopen(path, "wb");
    if (!out) return false;
    bool written = std::fwrite(&file, sizeof(file), 1, out) == 1 &&
                   std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out) == 1 &&
                   std::fwrite(bits, size, 1, out) == 1;
    return std::fclose(out) == 0 && written;
}

// Row 1: a flat image button normal, hot and pressed. Row 2: a 3D caption button in the skin's
// colours normal, focused (default frame and focus rectangle), pressed and disabled.
TEST(SkinButtonScreenshot, FlatImageAndCaptionButtonsInTheirMainStates) {
    Host host(420, 110);
    ProbeButton flat[3];
    ProbeButton caption[4];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(flat[i].Create("", WS_CHILD | WS_VISIBLE, CRect(10 + 100 * i, 10, 100 + 100 * i, 40), &host, 1300 + i));
        flat[i].UseParentBackground(FALSE);
        flat[i].SetImages(MakeImage(kHotInk), kKey, MakeImage(kNormalInk), kKey);
    }
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(caption[i].Create("Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP, CRect(10 + 100 * i, 60, 90 + 100 * i, 85),
                                      &host, 1310 + i));
        caption[i].SetFlatStyle(FALSE, FALSE);
        caption[i].SetColorSlot(SKINBTN_HOTTEXT, RGB(255, 255, 255), FALSE);
        caption[i].SetColorSlot(SKINBTN_NORMALTEXT, RGB(255, 255, 255), FALSE);
        caption[i].SetColorSlot(SKINBTN_FOCUSTEXT, RGB(255, 255, 255), FALSE);
        caption[i].SetColorSlot(SKINBTN_HOTBACK, RGB(32, 74, 62), FALSE);
        caption[i].SetColorSlot(SKINBTN_NORMALBACK, RGB(5, 81, 21), FALSE);
        caption[i].SetColorSlot(SKINBTN_FOCUSBACK, RGB(5, 81, 21), TRUE);
    }
    POINT centre = ScreenCentre(flat[1].m_hWnd);
    SetCursorPos(centre.x, centre.y);
    flat[1].SendMessage(WM_MOUSEMOVE, 0, Point(45, 15));
    flat[2].SendMessage(BM_SETSTATE, TRUE);
    EnableWindow(caption[3].m_hWnd, FALSE);  // first: it moves the focus on
    SetFocus(caption[1].m_hWnd);
    caption[1].SendMessage(BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    caption[2].SendMessage(BM_SETSTATE, TRUE);
    ::RedrawWindow(host.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Pump();
    EXPECT_TRUE(flat[1].hovering);
    EXPECT_TRUE(SaveScreenshot(host.m_hWnd, "skin_buttons.bmp"));
}

}  // namespace
