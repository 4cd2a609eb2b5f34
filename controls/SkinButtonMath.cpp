// Built with SSE2 arithmetic in the 32-bit program (see cmake/windows.cmake): the x87 unit would
// keep the weighted sums in 80 bits and give other greys than double precision does.
#include "controls/SkinButtonMath.h"

namespace {

uint32_t Red(uint32_t color) { return color & 0xFF; }
uint32_t Green(uint32_t color) { return (color >> 8) & 0xFF; }
uint32_t Blue(uint32_t color) { return (color >> 16) & 0xFF; }
uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) { return r | (g << 8) | (b << 16); }

constexpr uint32_t kTypeBits = 0x1F;
constexpr uint32_t kPushType = 0x00;        // BS_PUSHBUTTON
constexpr uint32_t kDefPushType = 0x01;     // BS_DEFPUSHBUTTON
constexpr uint32_t kCheckBoxBit = 0x02;     // BS_CHECKBOX
constexpr uint32_t kOwnerDrawType = 0x0B;   // BS_OWNERDRAW

}  // namespace

uint32_t OwnerDrawStyle(uint32_t style) { return (style & ~kTypeBits) | kOwnerDrawType; }

bool IsCheckBoxStyle(uint32_t style) { return (style & kCheckBoxBit) != 0; }

bool IsDefaultAfter(uint32_t style, bool wasDefault) {
    switch (style & kTypeBits) {
    case kDefPushType:
        return true;
    case kPushType:
        return false;
    }
    return wasDefault;
}

SkinHoverStep HoverStep(bool flat, bool hovering, bool leftButtonDown, bool overButton) {
    if ((leftButtonDown && !hovering) || !flat) return SkinHoverStep::Stay;
    if (!overButton) return hovering ? SkinHoverStep::Leave : SkinHoverStep::Stay;
    return hovering ? SkinHoverStep::Stay : SkinHoverStep::Enter;
}

SkinStateColors StateColors(bool hovering, bool pressed, bool focused) {
    if (hovering || pressed) return {SKINBTN_HOTBACK, SKINBTN_HOTTEXT};
    if (focused) return {SKINBTN_FOCUSBACK, SKINBTN_FOCUSTEXT};
    return {SKINBTN_NORMALBACK, SKINBTN_NORMALTEXT};
}

bool ShowsHotImage(bool checkBox, bool pressed, bool hovering) {
    return checkBox ? pressed : (pressed || hovering);
}

int32_t CenterOffset(int32_t box, int32_t extent) {
    return static_cast<int32_t>((static_cast<int64_t>(box) - extent) / 2);
}

void PlaceImage(bool hasCaption, const SkinBox& item, SkinBox* caption, bool shifted, int32_t shiftX,
                int32_t shiftY, int32_t width, int32_t height, SkinBox* image) {
    *image = item;
    if (hasCaption) {
        image->left += 3;
        caption->left += 3 + width;
    } else {
        image->left += CenterOffset(item.Width(), width);
    }
    image->top += CenterOffset(item.Height(), height);
    if (shifted) image->Offset(shiftX, shiftY);
}

uint32_t GrayColor(uint32_t color) {
    double r = Red(color), g = Green(color), b = Blue(color);
    auto gray = static_cast<uint32_t>((g * 0.587 + b * 0.114) + r * 0.299);
    return Rgb(gray, gray, gray);
}

uint32_t DimColor(uint32_t color, double factor) {
    if (!(factor > 0.0 && factor <= 1.0)) return color;
    auto dim = [factor](uint32_t v) { return static_cast<uint32_t>(v - v * factor); };
    return Rgb(dim(Red(color)), dim(Green(color)), dim(Blue(color)));
}
