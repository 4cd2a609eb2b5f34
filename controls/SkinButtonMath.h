#pragma once
// The skin button's decisions and arithmetic, kept free of window code so that they also build
// natively (sanitizers): what the window's style says, how the pointer moves the hot state, which
// colour slots and which image a state paints with, where the image and the caption go, and the
// grey and darkened copies of a colour.
#include <cstdint>

// A rectangle with the layout of the system's RECT.
struct SkinBox {
    int32_t left, top, right, bottom;
    int32_t Width() const { return right - left; }
    int32_t Height() const { return bottom - top; }
    void Offset(int32_t dx, int32_t dy) {
        left += dx;
        right += dx;
        top += dy;
        bottom += dy;
    }
};

// The six colour slots.
enum SkinColorSlot : uint8_t {
    SKINBTN_HOTBACK = 0,
    SKINBTN_HOTTEXT = 1,
    SKINBTN_NORMALBACK = 2,
    SKINBTN_NORMALTEXT = 3,
    SKINBTN_FOCUSBACK = 4,
    SKINBTN_FOCUSTEXT = 5,
};
constexpr int kSkinColorSlots = 6;

// A button's type is the low five bits of its window style.
// `style` with the owner-draw type, whatever type it had; the higher bits unchanged.
uint32_t OwnerDrawStyle(uint32_t style);
// Check-box mode: one bit of the type, as the button's users expect. It also holds for the auto
// three-state, group-box, push-box and owner-draw types, and not for the three-state one.
bool IsCheckBoxStyle(uint32_t style);
// Whether the button is the default one after the dialog manager gives it `style`: a default
// push button is, a push button is not, and any other type leaves `wasDefault` as it was.
bool IsDefaultAfter(uint32_t style, bool wasDefault);

// What a mouse move does to the hot state. Only a flat button becomes hot, and only when the
// pointer is over it without a press that began elsewhere; a move over another window (the
// button holds the capture while pressed) ends the hot state.
enum class SkinHoverStep { Stay, Enter, Leave };
SkinHoverStep HoverStep(bool flat, bool hovering, bool leftButtonDown, bool overButton);

// The background and caption slots of a state: hot while hovering or pressed, else focused,
// else normal.
struct SkinStateColors {
    SkinColorSlot back;
    SkinColorSlot text;
};
SkinStateColors StateColors(bool hovering, bool pressed, bool focused);

// Whether the hot image is shown (else the normal one, where there is one). In check-box mode
// only the pressed (checked) look shows it; hovering changes colours, not the image.
bool ShowsHotImage(bool checkBox, bool pressed, bool hovering);

// The offset that centres `extent` in `box` pixels; an odd pixel left over goes to the right or
// bottom, and an extent larger than the box gets a negative offset.
int32_t CenterOffset(int32_t box, int32_t extent);

// Where an image of width x height goes in `item`: 3 pixels from the left beside a caption (the
// caption then starts after the image), else centred; always centred vertically; moved by
// `shift` when `shifted` (pressed, outside check-box mode). Only image.left and image.top mean
// anything afterwards.
void PlaceImage(bool hasCaption, const SkinBox& item, SkinBox* caption, bool shifted, int32_t shiftX,
                int32_t shiftY, int32_t width, int32_t height, SkinBox* image);

// The grey of a colour (0x00BBGGRR): the weighted sum (G x 0.587 + B x 0.114) + R x 0.299 in
// double precision, truncated, in every channel. RGB(254, 254, 254) becomes 253: the weights
// add up to a hair less than 1.
uint32_t GrayColor(uint32_t color);

// Each channel v becomes v - v x factor, truncated; a factor outside (0, 1] changes nothing.
uint32_t DimColor(uint32_t color, double factor);
