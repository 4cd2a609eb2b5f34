#pragma once
// A push button that always paints itself: six colours chosen by state, a pair of colour-keyed
// images (hot and normal), a flat look that lights up while the pointer is over it or a 3D look,
// optionally a face made of the parent's own pixels, a pressed shift of image and caption, a
// check-box mode taken from the window style, and the dialog manager's default-button protocol.
//
// Attaching the window (CButton::Create or DDX_Control) makes it owner-drawn; its parent reflects
// WM_DRAWITEM, BN_CLICKED and the control-colour messages to this object.
//
// The program runs its window in the system's modal loop, which offers no message to the button
// before it is dispatched. What such a step would do is done where the message arrives, in the
// button's own window procedure, whichever loop dispatched it: mouse messages are relayed to the
// button's tooltip (which has no tool and stays inactive, so it never shows a tip), and a double
// click is handed to the system button as a second press, so it clicks twice.
#include "controls/SkinButtonMath.h"
#include "framework/Controls.h"
#include "framework/Gdi.h"
#include "framework/Handles.h"

// Results of the setters that can refuse their arguments.
constexpr DWORD SKINBTN_OK = 0;
constexpr DWORD SKINBTN_BADIMAGE = 1;
constexpr DWORD SKINBTN_NOMASK = 2;
constexpr DWORD SKINBTN_BADSLOT = 3;
constexpr DWORD SKINBTN_BADSHIFT = 6;

// In place of SetImages' normal image: derive it from the hot one, darkened or grey.
inline const HBITMAP SKINBTN_DIMMED = reinterpret_cast<HBITMAP>(static_cast<INT_PTR>(-3));
inline const HBITMAP SKINBTN_GRAYED = reinterpret_cast<HBITMAP>(static_cast<INT_PTR>(-2));

class SkinButton : public CButton {
public:
    SkinButton();
    ~SkinButton() override;

    // With `repaint` the whole button is invalidated after the change (when it has a window).
    // A setter that refuses its arguments changes nothing and repaints nothing.
    DWORD SetColorSlot(BYTE slot, COLORREF color, BOOL repaint);  // SKINBTN_BADSLOT above 5
    DWORD ResetColors(BOOL repaint);                              // the system's button colours
    DWORD SetFlatStyle(BOOL flat, BOOL repaint);
    DWORD SetHoverBorder(BOOL draw, BOOL repaint);
    DWORD SetFlatFocusRect(BOOL draw, BOOL repaint);
    // Style 0 moves a pressed button's image and caption by (1, 1), style 1 by (0, 2).
    DWORD SetPressedShift(BYTE style, BOOL repaint);
    // Paints the face over a copy of the parent's pixels, taken at the next paint and kept until
    // this is called again or the system colours change.
    void UseParentBackground(BOOL repaint);
    // Only in check-box mode; otherwise nothing happens, not even the repaint.
    DWORD SetCheckState(BOOL state, BOOL repaint);
    BOOL GetCheckState() const { return checkState; }

    // Replaces the image pair. `hot` is required for any image; `normal` may be null, another
    // bitmap, or SKINBTN_DIMMED / SKINBTN_GRAYED. Each entry's key colour is transparent. The
    // button owns both bitmaps from the call on, whatever the result; the caller deletes neither.
    // A null `hot` leaves the button without images (SKINBTN_OK). A hot or normal handle that is
    // no bitmap gives SKINBTN_BADIMAGE, a mask that cannot be made SKINBTN_NOMASK; after either
    // the button has no images and is not repainted.
    DWORD SetImages(HBITMAP hot, COLORREF hotKey, HBITMAP normal, COLORREF normalKey);
    // Deletes both images and their masks.
    void ReleaseImages();

    void DrawItem(LPDRAWITEMSTRUCT item) override;

protected:
    void PreSubclassWindow() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

    // One image of the pair: after SetImages its key-coloured pixels are black, and `mask` is 1
    // exactly where they were.
    struct ImageEntry {
        UniqueGdiObject bitmap;
        int width = 0;
        int height = 0;
        UniqueGdiObject mask;
        COLORREF key = 0;
        HBITMAP Bitmap() const { return static_cast<HBITMAP>(bitmap.get()); }
        HBITMAP Mask() const { return static_cast<HBITMAP>(mask.get()); }
    };

    // The state that its tests look at.
    BOOL hovering = FALSE;
    BOOL isDefault = FALSE;
    BOOL checkBox = FALSE;
    COLORREF colors[kSkinColorSlots];
    CToolTipCtrl toolTip;
    // The cached parent pixels: a memory DC with backgroundBitmap selected in place of
    // oldBackgroundBitmap.
    UniqueMemoryDC backgroundDC;
    ImageEntry hotImage;
    ImageEntry normalImage;

private:
    // The steps of a paint, in order, for the state that DrawItem set. PaintBackground may shrink
    // rect by the default frame; PaintImage places the caption beside the image.
    void CopyParentBackground(CDC* dc);
    void PaintBackground(CDC* dc, CRect* rect);
    void PaintBorder(CDC* dc, CRect* rect);
    void PaintImage(CDC* dc, BOOL hasCaption, const RECT* item, CRect* caption);
    void PaintCaption(CDC* dc, const char* text, CRect* caption);

    void EndHover();
    void OnMouseMove(UINT flags, POINT point);
    void OnClicked();
    void OnDisabled();
    LRESULT OnSetStyle(WPARAM style, LPARAM redraw);
    void RelayToToolTip(UINT message, WPARAM wParam, LPARAM lParam);
    void EnsureToolTip();
    void DropBackground();
    void Repaint();
    // What a setter returns once it has changed something: SKINBTN_OK, after a repaint if asked.
    DWORD Changed(BOOL repaint);

    // The look, as the setters left it.
    POINT pressedShift{1, 1};
    BOOL flat = TRUE;
    BOOL parentBackground = FALSE;
    BOOL hoverBorder = TRUE;
    BOOL flatFocusRect = FALSE;
    // The paint state, set at the start of every paint.
    BOOL pressed = FALSE;
    BOOL focused = FALSE;
    BOOL disabled = FALSE;
    BOOL checkState = FALSE;
    BOOL toolTipMade = FALSE;
    UniqueGdiObject backgroundBitmap;
    HGDIOBJ oldBackgroundBitmap = nullptr;
};
