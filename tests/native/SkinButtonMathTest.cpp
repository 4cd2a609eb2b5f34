// The skin button's decisions and arithmetic, without windows. Built natively under the
// sanitizers and into the 32-bit program's tests, which must agree on every grey.
#include "controls/SkinButtonMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace {

constexpr uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) { return r | (g << 8) | (b << 16); }

TEST(SkinButtonMath, GreyIsTheTruncatedWeightedSum) {
    struct Case {
        uint32_t color, gray;
    };
    const Case cases[] = {
        {Rgb(254, 254, 254), Rgb(253, 253, 253)},  // the weights add up to a hair below 1
        {Rgb(128, 128, 128), Rgb(128, 128, 128)},
        {Rgb(255, 255, 255), Rgb(255, 255, 255)},
        {Rgb(0, 0, 0), Rgb(0, 0, 0)},
        {Rgb(255, 0, 0), Rgb(76, 76, 76)},     // 76.245
        {Rgb(0, 255, 0), Rgb(149, 149, 149)},  // 149.685, not rounded up
        {Rgb(0, 0, 255), Rgb(29, 29, 29)},     // 29.07
        {Rgb(5, 81, 21), Rgb(51, 51, 51)},     // the skin colour: 51.436
        {0xFF000000u | Rgb(10, 20, 30), Rgb(18, 18, 18)},  // the top byte is not a channel
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.color);
        EXPECT_EQ(GrayColor(c.color), c.gray);
    }
}

TEST(SkinButtonMath, DimmingTakesTheFactorOffEachChannel) {
    struct Case {
        uint32_t color;
        double factor;
        uint32_t dimmed;
    };
    const Case cases[] = {
        {Rgb(255, 128, 3), 0.25, Rgb(191, 96, 2)},
        {Rgb(1, 0, 255), 0.25, Rgb(0, 0, 191)},
        {Rgb(200, 100, 50), 1.0, Rgb(0, 0, 0)},
        {Rgb(200, 100, 50), 0.5, Rgb(100, 50, 25)},
        {Rgb(201, 101, 51), 0.5, Rgb(100, 50, 25)},  // 100.5 truncated
        {Rgb(200, 100, 50), 0.0, Rgb(200, 100, 50)},  // outside (0, 1]: unchanged
        {Rgb(200, 100, 50), -0.5, Rgb(200, 100, 50)},
        {Rgb(200, 100, 50), 1.5, Rgb(200, 100, 50)},
        {Rgb(200, 100, 50), std::nan(""), Rgb(200, 100, 50)},
        {0xFF000000u | Rgb(4, 8, 12), 0.25, Rgb(3, 6, 9)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.color << " x " << c.factor);
        EXPECT_EQ(DimColor(c.color, c.factor), c.dimmed);
    }
}

TEST(SkinButtonMath, CentringLeavesTheOddPixelRightAndBottom) {
    EXPECT_EQ(CenterOffset(101, 50), 25);
    EXPECT_EQ(CenterOffset(100, 50), 25);
    EXPECT_EQ(CenterOffset(142, 140), 1);
    EXPECT_EQ(CenterOffset(25, 24), 0);
    EXPECT_EQ(CenterOffset(10, 11), 0);   // toward zero, not down
    EXPECT_EQ(CenterOffset(10, 13), -1);  // larger than the box: a negative offset
    EXPECT_EQ(CenterOffset(INT32_MIN, INT32_MAX), -2147483647);  // no overflow on the way
}

TEST(SkinButtonMath, PlacesTheImageBesideTheCaptionOrCentred) {
    struct Case {
        const char* what;
        bool hasCaption, shifted;
        int32_t shiftX, shiftY, width, height;
        int32_t imageLeft, imageTop, captionLeft;
    };
    // Item (10, 20)-(110, 45): 100 x 25.
    const Case cases[] = {
        {"centred", false, false, 1, 1, 40, 11, 40, 27, 10},
        {"odd room goes right and bottom", false, false, 1, 1, 41, 12, 39, 26, 10},
        {"beside a caption", true, false, 1, 1, 40, 11, 13, 27, 53},
        {"pressed, style 0", false, true, 1, 1, 40, 11, 41, 28, 10},
        {"pressed, style 1", true, true, 0, 2, 40, 11, 13, 29, 53},
        {"wider and taller than the item", false, false, 1, 1, 140, 31, -10, 17, 10},
    };
    const SkinBox item{10, 20, 110, 45};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SkinBox caption = item, image{};
        PlaceImage(c.hasCaption, item, &caption, c.shifted, c.shiftX, c.shiftY, c.width, c.height, &image);
        EXPECT_EQ(image.left, c.imageLeft);
        EXPECT_EQ(image.top, c.imageTop);
        EXPECT_EQ(caption.left, c.captionLeft);
        EXPECT_EQ(caption.right, item.right);
    }
}

TEST(SkinButtonMath, WindowStyleGivesTheModesAndBecomesOwnerDrawn) {
    struct Case {
        uint32_t type;
        bool checkBox;
    };
    // Push, default push, check box, auto check box, three-state, auto three-state, radio, auto
    // radio, group box, push box, owner-draw: check-box mode is one bit of the type.
    const Case cases[] = {{0x00, false}, {0x01, false}, {0x02, true}, {0x03, true}, {0x05, false}, {0x06, true},
                          {0x04, false}, {0x09, false}, {0x07, true}, {0x0A, true}, {0x0B, true}};
    const uint32_t higher = 0x50010000;  // WS_CHILD | WS_VISIBLE | WS_TABSTOP
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type);
        EXPECT_EQ(IsCheckBoxStyle(higher | c.type), c.checkBox);
        EXPECT_EQ(OwnerDrawStyle(higher | c.type), higher | 0x0Bu);
        // The dialog manager's type: default push sets, push clears, any other keeps.
        for (bool was : {false, true}) {
            const bool expected = c.type == 0x01 ? true : c.type == 0x00 ? false : was;
            EXPECT_EQ(IsDefaultAfter(higher | c.type, was), expected) << was;
        }
    }
}

TEST(SkinButtonMath, MouseMovesEnterAndLeaveTheHotStateOnlyWhereTheyMay) {
    struct Case {
        const char* what;
        bool flat, hovering, leftButtonDown, overButton;
        SkinHoverStep step;
    };
    const Case cases[] = {
        {"flat, pointer arrives", true, false, false, true, SkinHoverStep::Enter},
        {"flat, moves within while hot", true, true, false, true, SkinHoverStep::Stay},
        {"flat, over another window while hot", true, true, false, false, SkinHoverStep::Leave},
        {"flat, over another window, not hot", true, false, false, false, SkinHoverStep::Stay},
        {"a press that began elsewhere", true, false, true, true, SkinHoverStep::Stay},
        {"pressed while hot, still over it", true, true, true, true, SkinHoverStep::Stay},
        {"pressed while hot, dragged off", true, true, true, false, SkinHoverStep::Leave},
        {"3D, pointer arrives", false, false, false, true, SkinHoverStep::Stay},
        {"3D, hot as it became 3D, moves off", false, true, false, false, SkinHoverStep::Stay},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(HoverStep(c.flat, c.hovering, c.leftButtonDown, c.overButton), c.step);
    }
}

TEST(SkinButtonMath, StateChoosesColourSlotsAndImage) {
    struct Case {
        bool hovering, pressed, focused;
        SkinColorSlot back, text;
    };
    const Case colours[] = {
        {false, false, false, SKINBTN_NORMALBACK, SKINBTN_NORMALTEXT},
        {false, false, true, SKINBTN_FOCUSBACK, SKINBTN_FOCUSTEXT},
        {true, false, false, SKINBTN_HOTBACK, SKINBTN_HOTTEXT},
        {true, false, true, SKINBTN_HOTBACK, SKINBTN_HOTTEXT},  // hot wins over focused
        {false, true, true, SKINBTN_HOTBACK, SKINBTN_HOTTEXT},
    };
    for (const Case& c : colours) {
        SCOPED_TRACE(testing::Message() << c.hovering << c.pressed << c.focused);
        SkinStateColors slots = StateColors(c.hovering, c.pressed, c.focused);
        EXPECT_EQ(slots.back, c.back);
        EXPECT_EQ(slots.text, c.text);
    }
    // A push button shows its hot image while hot or pressed; a check box only while pressed.
    EXPECT_FALSE(ShowsHotImage(false, false, false));
    EXPECT_TRUE(ShowsHotImage(false, false, true));
    EXPECT_TRUE(ShowsHotImage(false, true, false));
    EXPECT_FALSE(ShowsHotImage(true, false, true));
    EXPECT_TRUE(ShowsHotImage(true, true, false));
}

}  // namespace
