#include "controls/SkinButton.h"

#include <windowsx.h>

#include <string>
#include <utility>

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);

SkinBox ToBox(const RECT& rect) { return {rect.left, rect.top, rect.right, rect.bottom}; }
RECT ToRect(const SkinBox& box) { return {box.left, box.top, box.right, box.bottom}; }

void FillSolid(HDC dc, const RECT& rect, COLORREF color) {
    CBrush brush(color);
    FillRect(dc, &rect, brush);
}

void FrameSolid(HDC dc, const RECT& rect, COLORREF color) {
    CBrush brush(color);
    FrameRect(dc, &rect, brush);
}

// A 1-pixel outline: top row and left column in `first`, right column and bottom row in `second`.
void TwoColourOutline(HDC dc, const RECT& r, COLORREF first, COLORREF second) {
    FillSolid(dc, {r.left, r.top, r.right - 1, r.top + 1}, first);
    FillSolid(dc, {r.left, r.top, r.left + 1, r.bottom - 1}, first);
    FillSolid(dc, {r.right - 1, r.top, r.right, r.bottom}, second);
    FillSolid(dc, {r.left, r.bottom - 1, r.right, r.bottom}, second);
}

// MoveTo (x0, y0), LineTo (x1, y1), LineTo (x2, y2) with a 1-pixel pen.
void Polyline3(HDC dc, COLORREF color, int x0, int y0, int x1, int y1, int x2, int y2) {
    CPen pen(PS_SOLID, 0, color);
    SelectObjectScope select(dc, pen);
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
    LineTo(dc, x2, y2);
}

// A DC that the button made for one step, with one bitmap selected for its life.
class MemoryDC {
public:
    MemoryDC(HDC compatibleWith, HGDIOBJ bitmap) : dc_(CreateCompatibleDC(compatibleWith)) {
        if (dc_) previous_ = SelectObject(dc_.get(), bitmap);
    }
    ~MemoryDC() {
        if (Valid()) SelectObject(dc_.get(), previous_);
    }
    MemoryDC(const MemoryDC&) = delete;
    MemoryDC& operator=(const MemoryDC&) = delete;
    bool Valid() const { return dc_ && previous_ && previous_ != HGDI_ERROR; }
    operator HDC() const { return dc_.get(); }

private:
    UniqueMemoryDC dc_;
    HGDIOBJ previous_ = nullptr;
};

bool IsBitmap(HBITMAP bitmap, BITMAP* info) {
    return bitmap && GetObjectType(bitmap) == OBJ_BITMAP &&
           GetObjectA(bitmap, sizeof(*info), info) == sizeof(*info) && info->bmWidth > 0 &&
           info->bmHeight > 0;
}

// A monochrome mask of `source`, 1 where it has the key colour; those pixels of `source` turn
// black. Null, with `source` unchanged, when it cannot be made.
HBITMAP CreateMaskBitmap(HBITMAP source, int width, int height, COLORREF key) {
    UniqueGdiObject mask(CreateBitmap(width, height, 1, 1, nullptr));
    if (!mask) return nullptr;
    MemoryDC sourceDC(nullptr, source);
    MemoryDC maskDC(nullptr, mask.get());
    if (!sourceDC.Valid() || !maskDC.Valid()) return nullptr;
    // Colour to monochrome: 1 where the pixel has the background colour.
    COLORREF oldBack = SetBkColor(sourceDC, key);
    BitBlt(maskDC, 0, 0, width, height, sourceDC, 0, 0, SRCCOPY);
    // Monochrome to colour maps 1 to the background colour (black) and 0 to the text colour
    // (white): the AND blackens the key pixels and keeps the others.
    COLORREF oldText = SetTextColor(sourceDC, kWhite);
    SetBkColor(sourceDC, kBlack);
    BitBlt(sourceDC, 0, 0, width, height, maskDC, 0, 0, SRCAND);
    SetTextColor(sourceDC, oldText);
    SetBkColor(sourceDC, oldBack);
    return static_cast<HBITMAP>(mask.release());
}

// A copy of `source` with every pixel but the key-coloured ones recoloured, owned by the caller;
// null on failure.
HBITMAP CreateRecolouredBitmap(HBITMAP source, int width, int height, COLORREF key,
                               COLORREF (*recolour)(COLORREF)) {
    CClientDC screen(static_cast<HWND>(nullptr));
    if (!screen.m_hDC) return nullptr;
    UniqueGdiObject result(CreateCompatibleBitmap(screen, width, height));
    if (!result) return nullptr;
    MemoryDC target(screen, result.get());
    MemoryDC sourceDC(screen, source);
    if (!target.Valid() || !sourceDC.Valid()) return nullptr;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            COLORREF color = GetPixel(sourceDC, x, y);
            SetPixel(target, x, y, color == key ? color : recolour(color));
        }
    }
    return static_cast<HBITMAP>(result.release());
}

COLORREF Gray(COLORREF color) { return GrayColor(color); }
COLORREF Dimmed(COLORREF color) { return DimColor(color, 0.25); }

HBITMAP CreateGrayBitmap(HBITMAP source, int width, int height, COLORREF key) {
    return CreateRecolouredBitmap(source, width, height, key, Gray);
}

HBITMAP CreateDimmedBitmap(HBITMAP source, int width, int height, COLORREF key) {
    return CreateRecolouredBitmap(source, width, height, key, Dimmed);
}

}  // namespace

SkinButton::SkinButton() {
    ResetColors(FALSE);
}

SkinButton::~SkinButton() {
    DropBackground();
    ReleaseImages();
}

// ---- setters

void SkinButton::Repaint() {
    if (m_hWnd) ::InvalidateRect(m_hWnd, nullptr, TRUE);
}

DWORD SkinButton::Changed(BOOL repaint) {
    if (repaint) Repaint();
    return SKINBTN_OK;
}

DWORD SkinButton::SetColorSlot(BYTE slot, COLORREF color, BOOL repaint) {
    if (slot >= kSkinColorSlots) return SKINBTN_BADSLOT;
    colors[slot] = color;
    return Changed(repaint);
}

DWORD SkinButton::ResetColors(BOOL repaint) {
    for (int slot = 0; slot < kSkinColorSlots; slot += 2) {
        colors[slot] = GetSysColor(COLOR_BTNFACE);
        colors[slot + 1] = GetSysColor(COLOR_BTNTEXT);
    }
    return Changed(repaint);
}

DWORD SkinButton::SetFlatStyle(BOOL newFlat, BOOL repaint) {
    flat = newFlat;
    return Changed(repaint);
}

DWORD SkinButton::SetHoverBorder(BOOL draw, BOOL repaint) {
    hoverBorder = draw;
    return Changed(repaint);
}

DWORD SkinButton::SetFlatFocusRect(BOOL draw, BOOL repaint) {
    flatFocusRect = draw;
    return Changed(repaint);
}

DWORD SkinButton::SetPressedShift(BYTE style, BOOL repaint) {
    if (style > 1) return SKINBTN_BADSHIFT;
    pressedShift = style == 0 ? POINT{1, 1} : POINT{0, 2};
    return Changed(repaint);
}

void SkinButton::UseParentBackground(BOOL repaint) {
    parentBackground = TRUE;
    DropBackground();
    Changed(repaint);
}

DWORD SkinButton::SetCheckState(BOOL state, BOOL repaint) {
    if (!checkBox) return SKINBTN_OK;
    checkState = state != FALSE;
    return Changed(repaint);
}

void SkinButton::DropBackground() {
    if (backgroundDC && oldBackgroundBitmap) SelectObject(backgroundDC.get(), oldBackgroundBitmap);
    oldBackgroundBitmap = nullptr;
    backgroundBitmap.reset();
    backgroundDC.reset();
}

// ---- images

void SkinButton::ReleaseImages() {
    hotImage = ImageEntry();
    normalImage = ImageEntry();
}

DWORD SkinButton::SetImages(HBITMAP hot, COLORREF hotKey, HBITMAP normal, COLORREF normalKey) {
    ReleaseImages();
    const bool derive = normal == SKINBTN_DIMMED || normal == SKINBTN_GRAYED;
    // Taken over at once, so that no path leaves the caller wondering whether to delete them. The
    // same bitmap given twice is one image: the hot image then serves in every state.
    ImageEntry newHot, newNormal;
    newHot.bitmap.reset(hot);
    if (!derive && normal != hot) newNormal.bitmap.reset(normal);
    if (!hot) {
        Repaint();
        return SKINBTN_OK;
    }

    // Each entry's size and key are read before its mask is made.
    auto measure = [](ImageEntry& entry, COLORREF key) {
        BITMAP info{};
        if (!IsBitmap(entry.Bitmap(), &info)) return false;
        entry.key = key;
        entry.width = info.bmWidth;
        entry.height = info.bmHeight;
        return true;
    };
    auto mask = [](ImageEntry& entry) {
        entry.mask.reset(CreateMaskBitmap(entry.Bitmap(), entry.width, entry.height, entry.key));
        return static_cast<bool>(entry.mask);
    };
    if (!measure(newHot, hotKey)) return SKINBTN_BADIMAGE;
    if (derive) {
        // Before the mask is made: that blackens the key pixels the derivation must still see.
        newNormal.bitmap.reset(normal == SKINBTN_DIMMED
                                   ? CreateDimmedBitmap(hot, newHot.width, newHot.height, hotKey)
                                   : CreateGrayBitmap(hot, newHot.width, newHot.height, hotKey));
        normalKey = hotKey;
    }
    if (!mask(newHot)) return SKINBTN_NOMASK;
    if (newNormal.bitmap) {
        if (!measure(newNormal, normalKey)) return SKINBTN_BADIMAGE;
        if (!mask(newNormal)) return SKINBTN_NOMASK;
    }
    hotImage = std::move(newHot);
    normalImage = std::move(newNormal);
    Repaint();
    return SKINBTN_OK;
}

// ---- window

void SkinButton::PreSubclassWindow() {
    const LONG style = GetWindowLongA(m_hWnd, GWL_STYLE);
    if (IsCheckBoxStyle(style)) checkBox = TRUE;
    if (IsDefaultAfter(style, false)) isDefault = TRUE;
    SetWindowLongA(m_hWnd, GWL_STYLE, static_cast<LONG>(OwnerDrawStyle(style)));
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    CButton::PreSubclassWindow();
}

LRESULT SkinButton::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) RelayToToolTip(message, wParam, lParam);
    switch (message) {
    case WM_KILLFOCUS:
    case WM_CANCELMODE: {
        LRESULT result = Default();
        EndHover();
        return result;
    }
    case WM_MOUSEMOVE:
        Default();
        OnMouseMove(static_cast<UINT>(wParam), {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
        return 0;
    case WM_LBUTTONDBLCLK:
        // The system button would report a double click instead of pressing again.
        return DefWindowProc(WM_LBUTTONDOWN, wParam, lParam);
    case WM_SYSCOLORCHANGE:
        Default();
        DropBackground();
        ResetColors(TRUE);
        return 0;
    case WM_ACTIVATE: {
        LRESULT result = Default();
        if (LOWORD(wParam) == WA_INACTIVE) EndHover();
        return result;
    }
    case WM_ENABLE: {
        LRESULT result = Default();
        if (!wParam) OnDisabled();
        return result;
    }
    case WM_GETDLGCODE:
        return Default() | (isDefault ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
    case BM_SETSTYLE:
        return OnSetStyle(wParam, lParam);
    case WM_MOUSELEAVE:
        EndHover();
        return 0;
    case BM_SETCHECK:
        SetCheckState(wParam == BST_CHECKED || wParam == BST_INDETERMINATE, TRUE);
        return 0;
    case BM_GETCHECK:
        return checkState;
    }
    return Default();
}

bool SkinButton::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (message == WM_COMMAND) {
        if (HIWORD(wParam) == BN_CLICKED) OnClicked();
        return false;  // the parent's own handler for the control runs after this one
    }
    if (IsCtlColorMessage(message)) {
        // Nothing is painted under the owner-drawn face.
        *result = reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
        return true;
    }
    return CButton::OnChildNotify(message, wParam, lParam, result);
}

void SkinButton::EndHover() {
    if (!flat || !hovering) return;
    hovering = FALSE;
    Repaint();
}

void SkinButton::OnMouseMove(UINT flags, POINT point) {
    ClientToScreen(m_hWnd, &point);
    switch (HoverStep(flat, hovering, (flags & MK_LBUTTON) != 0, WindowFromPoint(point) == m_hWnd)) {
    case SkinHoverStep::Enter: {
        hovering = TRUE;
        Repaint();
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, m_hWnd, 0};
        _TrackMouseEvent(&track);
        break;
    }
    case SkinHoverStep::Leave:
        EndHover();
        break;
    case SkinHoverStep::Stay:
        break;
    }
}

void SkinButton::OnClicked() {
    ::SetFocus(m_hWnd);
    if (!checkBox) return;
    checkState = !checkState;
    Repaint();
}

// The focus moves on to the next tab stop, or to the parent, whether or not the button had it.
// The button itself is never the next stop: it is disabled now.
void SkinButton::OnDisabled() {
    HWND parent = ::GetParent(m_hWnd);
    HWND next = parent ? GetNextDlgTabItem(parent, m_hWnd, FALSE) : nullptr;
    ::SetFocus(next && next != m_hWnd ? next : parent);
    EndHover();
}

// The dialog manager makes a push button the default one, or no longer, by its type. The window
// keeps the owner-draw type whatever is asked.
LRESULT SkinButton::OnSetStyle(WPARAM style, LPARAM redraw) {
    isDefault = IsDefaultAfter(static_cast<uint32_t>(style), isDefault);
    return DefWindowProc(BM_SETSTYLE, OwnerDrawStyle(static_cast<uint32_t>(style)), redraw);
}

// Made once per button: when its owner window goes, the tooltip goes first, and the button must
// not make another for a window on its way out. A failure is tried again at the next message.
void SkinButton::EnsureToolTip() {
    if (toolTipMade || !toolTip.Create(this, 0)) return;
    toolTipMade = TRUE;
    toolTip.Activate(FALSE);
    toolTip.SetMaxTipWidth(400);
}

void SkinButton::RelayToToolTip(UINT message, WPARAM wParam, LPARAM lParam) {
    EnsureToolTip();
    if (!toolTip.m_hWnd) return;
    DWORD position = GetMessagePos();
    MSG relayed{m_hWnd, message, wParam, lParam, static_cast<DWORD>(GetMessageTime()),
                {GET_X_LPARAM(position), GET_Y_LPARAM(position)}};
    toolTip.RelayEvent(&relayed);
}

// ---- painting: the steps of one paint in order, each for the state that DrawItem set

void SkinButton::DrawItem(LPDRAWITEMSTRUCT item) {
    CDC dc(item->hDC);
    const UINT state = item->itemState;
    pressed = (state & ODS_SELECTED) || (checkBox && checkState);
    focused = (state & ODS_FOCUS) != 0;
    disabled = (state & ODS_DISABLED) != 0;
    SetBkMode(dc, TRANSPARENT);

    CRect face(item->rcItem);
    if (parentBackground)
        CopyParentBackground(&dc);
    else
        PaintBackground(&dc, &face);
    PaintBorder(&dc, &face);
    const std::string text = GetWindowText();
    CRect caption(item->rcItem);
    if (hotImage.bitmap) PaintImage(&dc, !text.empty(), &item->rcItem, &caption);
    if (!text.empty()) PaintCaption(&dc, text.c_str(), &caption);
    if (focused && (!flat || flatFocusRect)) {
        InflateRect(&face, -3, -3);
        DrawFocusRect(dc, &face);
    }
}

void SkinButton::CopyParentBackground(CDC* dc) {
    HWND parent = ::GetParent(m_hWnd);
    CClientDC parentDC(parent);
    if (!parentDC.m_hDC) return;
    CRect client;
    GetClientRect(&client);
    const int w = client.Width(), h = client.Height();
    if (!backgroundDC) {
        RECT place;
        GetWindowRect(m_hWnd, &place);
        MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&place), 2);
        UniqueMemoryDC memory(CreateCompatibleDC(parentDC));
        UniqueGdiObject bitmap(CreateCompatibleBitmap(parentDC, w, h));
        if (!memory || !bitmap) return;  // nothing cached: the next paint tries again
        oldBackgroundBitmap = SelectObject(memory.get(), bitmap.get());
        BitBlt(memory.get(), 0, 0, w, h, parentDC, place.left, place.top, SRCCOPY);
        backgroundDC = std::move(memory);
        backgroundBitmap = std::move(bitmap);
    }
    BitBlt(*dc, 0, 0, w, h, backgroundDC.get(), 0, 0, SRCCOPY);
}

void SkinButton::PaintBackground(CDC* dc, CRect* rect) {
    if (!flat && (focused || isDefault)) {
        FrameSolid(*dc, *rect, kBlack);
        InflateRect(rect, -1, -1);
    }
    FillSolid(*dc, *rect, colors[StateColors(hovering, pressed, focused).back]);
}

void SkinButton::PaintBorder(CDC* dc, CRect* rect) {
    const COLORREF highlight = GetSysColor(COLOR_BTNHIGHLIGHT), shadow = GetSysColor(COLOR_BTNSHADOW);
    if (flat) {
        // A thin sunken edge while pressed, a thin raised one while hot.
        if (!hoverBorder) return;
        if (pressed)
            TwoColourOutline(*dc, *rect, shadow, highlight);
        else if (hovering)
            TwoColourOutline(*dc, *rect, highlight, shadow);
    } else if (pressed) {
        FrameSolid(*dc, *rect, shadow);
    } else {
        const LONG L = rect->left, T = rect->top, R = rect->right, B = rect->bottom;
        Polyline3(*dc, highlight, L, B - 1, L, T, R, T);
        Polyline3(*dc, GetSysColor(COLOR_3DLIGHT), L + 1, B - 1, L + 1, T + 1, R, T + 1);
        Polyline3(*dc, GetSysColor(COLOR_3DDKSHADOW), L, B - 1, R - 1, B - 1, R - 1, T - 1);
        Polyline3(*dc, shadow, L + 1, B - 2, R - 2, B - 2, R - 2, T);
    }
}

void SkinButton::PaintImage(CDC* dc, BOOL hasCaption, const RECT* item, CRect* caption) {
    const ImageEntry& entry =
        ShowsHotImage(checkBox, pressed, hovering) || !normalImage.bitmap ? hotImage : normalImage;
    const int w = entry.width, h = entry.height;
    SkinBox captionBox = ToBox(*caption), image{};
    PlaceImage(hasCaption, ToBox(*item), &captionBox, pressed && !checkBox, pressedShift.x, pressedShift.y, w, h,
               &image);
    *caption = CRect(ToRect(captionBox));
    // The mask's 1 bits become the background colour and its 0 bits the text colour.
    SetBkColor(*dc, kWhite);
    SetTextColor(*dc, kBlack);
    MemoryDC imageDC(*dc, entry.bitmap.get());
    MemoryDC maskDC(nullptr, entry.mask.get());
    if (disabled) {
        // The image on white, which the system then draws embossed.
        UniqueGdiObject temp(CreateCompatibleBitmap(*dc, w, h));
        {
            MemoryDC tempDC(*dc, temp.get());
            FillSolid(tempDC, {0, 0, w, h}, kWhite);
            COLORREF oldBack = SetBkColor(tempDC, kWhite);
            BitBlt(tempDC, 0, 0, w, h, maskDC, 0, 0, SRCAND);
            BitBlt(tempDC, 0, 0, w, h, imageDC, 0, 0, SRCPAINT);
            SetBkColor(tempDC, oldBack);
        }
        DrawStateA(*dc, nullptr, nullptr, reinterpret_cast<LPARAM>(temp.get()), 0, image.left, image.top, w, h,
                   DST_BITMAP | DSS_DISABLED);
        return;
    }
    // Where the mask is 0 the face turns black and takes the image's colours; the key pixels,
    // black in the image, leave the face as it was.
    BitBlt(*dc, image.left, image.top, w, h, maskDC, 0, 0, SRCAND);
    BitBlt(*dc, image.left, image.top, w, h, imageDC, 0, 0, SRCPAINT);
}

void SkinButton::PaintCaption(CDC* dc, const char* text, CRect* caption) {
    if (pressed && !checkBox) OffsetRect(caption, pressedShift.x, pressedShift.y);
    const CRect box = *caption;
    DrawTextA(*dc, text, -1, caption, DT_CALCRECT | DT_WORDBREAK | DT_CENTER);
    OffsetRect(caption, CenterOffset(box.Width(), caption->Width()), CenterOffset(box.Height(), caption->Height()));
    SetBkMode(*dc, TRANSPARENT);
    const UINT format = DT_WORDBREAK | DT_CENTER;
    if (disabled) {
        // Embossed: the highlight one pixel down and right, the shadow over it.
        OffsetRect(caption, 1, 1);
        SetTextColor(*dc, GetSysColor(COLOR_BTNHIGHLIGHT));
        DrawTextA(*dc, text, -1, caption, format);
        OffsetRect(caption, -1, -1);
        SetTextColor(*dc, GetSysColor(COLOR_BTNSHADOW));
        DrawTextA(*dc, text, -1, caption, format);
        return;
    }
    const SkinStateColors slots = StateColors(hovering, pressed, focused);
    SetTextColor(*dc, colors[slots.text]);
    SetBkColor(*dc, colors[slots.back]);
    DrawTextA(*dc, text, -1, caption, format);
}
