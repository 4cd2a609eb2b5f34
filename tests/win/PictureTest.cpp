// The picture holder on the real OLE picture loader: the background resource decoded, measured
// and drawn into a memory DC that the tests read back, the holder's states and what it keeps
// after a failed load, and the HIMETRIC-to-pixel arithmetic with a picture whose size the test
// chooses.
#include "controls/Picture.h"
#include "resource.h"

#include <ole2.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

void PrintTo(const CSize& size, std::ostream* out) { *out << size.cx << " x " << size.cy; }

namespace {

// The program initialises OLE before anything loads a picture; so do the tests.
class OleEnvironment : public testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    void TearDown() override { OleUninitialize(); }
};
const testing::Environment* const oleEnvironment = testing::AddGlobalTestEnvironment(new OleEnvironment);

const COLORREF kPreFill = RGB(255, 0, 255);
const COLORREF kField = RGB(5, 80, 21);  // the background below its banner, as decoded

// A 32-bit top-down DIB section in a memory DC, filled with one colour; its pixels are read back
// directly.
class Canvas {
public:
    Canvas(int width, int height, COLORREF fill = kPreFill) : width_(width), height_(height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        bitmap_.reset(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits_, nullptr, 0));
        memory_.reset(CreateCompatibleDC(nullptr));
        SelectObject(memory_.get(), bitmap_.get());
        dc_.m_hDC = memory_.get();
        CBrush brush(fill);
        CRect all(0, 0, width, height);
        dc_.FillRect(&all, brush);
    }
    bool Valid() const { return bits_ && memory_; }
    CDC* dc() { return &dc_; }
    COLORREF Pixel(int x, int y) const {
        GdiFlush();
        uint32_t bgr = static_cast<const uint32_t*>(bits_)[y * width_ + x];
        return RGB((bgr >> 16) & 0xFF, (bgr >> 8) & 0xFF, bgr & 0xFF);
    }
    bool AllPixels(COLORREF color) const {
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x)
                if (Pixel(x, y) != color) return false;
        return true;
    }

private:
    int width_, height_;
    void* bits_ = nullptr;
    UniqueGdiObject bitmap_;  // declared before the DC so that the DC goes first
    UniqueMemoryDC memory_;
    CDC dc_;
};

std::string Hex(COLORREF color) {
    char text[16];
    std::snprintf(text, sizeof(text), "RGB(%d,%d,%d)", GetRValue(color), GetGValue(color), GetBValue(color));
    return text;
}

// JPEG decoders differ by a few steps per channel.
testing::AssertionResult Near(COLORREF actual, COLORREF expected, int tolerance = 6) {
    int d = std::max({std::abs(GetRValue(actual) - GetRValue(expected)),
                      std::abs(GetGValue(actual) - GetGValue(expected)),
                      std::abs(GetBValue(actual) - GetBValue(expected))});
    if (d <= tolerance) return testing::AssertionSuccess();
    return testing::AssertionFailure() << Hex(actual) << " is not near " << Hex(expected);
}

// The gold rule that closes the banner (blended with its dark neighbours when stretched): much
// red, little blue; the field and the rest of the banner have little red.
bool IsGold(COLORREF c) { return GetRValue(c) > 150 && GetBValue(c) < 140; }

std::vector<char> BackgroundBytes() {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(IDR_BACKGROUND), "JPG");
    if (!found) return {};
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
    return std::vector<char>(bytes, bytes + SizeofResource(nullptr, found));
}

// Offset of the JPEG's start-of-scan marker: everything before it is headers and tables.
size_t StartOfScan(const std::vector<char>& jpeg) {
    size_t i = 2;
    while (i + 4 <= jpeg.size() && static_cast<unsigned char>(jpeg[i]) == 0xFF) {
        unsigned char marker = static_cast<unsigned char>(jpeg[i + 1]);
        if (marker == 0xDA) return i;
        i += 2 + ((static_cast<unsigned char>(jpeg[i + 2]) << 8) | static_cast<unsigned char>(jpeg[i + 3]));
    }
    return 0;
}

// A picture whose HIMETRIC size the test chooses. It counts its references and lives on the
// test's stack, so the count can be read after the holder has let it go. Render fills the
// destination rectangle with one colour.
class StandInPicture : public IPicture {
public:
    StandInPicture(long width, long height, COLORREF color) : width_(width), height_(height), color_(color) {}
    ULONG references = 1;  // the one the creator hands over

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE get_Width(OLE_XSIZE_HIMETRIC* width) override {
        *width = width_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Height(OLE_YSIZE_HIMETRIC* height) override {
        *height = height_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Render(HDC dc, LONG x, LONG y, LONG cx, LONG cy, OLE_XPOS_HIMETRIC,
                                     OLE_YPOS_HIMETRIC, OLE_XSIZE_HIMETRIC, OLE_YSIZE_HIMETRIC,
                                     LPCRECT) override {
        CBrush brush(color_);
        CRect target(x, y, x + cx, y + cy);
        ::FillRect(dc, &target, brush);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Handle(OLE_HANDLE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_hPal(OLE_HANDLE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Type(SHORT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE set_hPal(OLE_HANDLE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_CurDC(HDC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SelectPicture(HDC, HDC*, OLE_HANDLE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_KeepOriginalFormat(BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_KeepOriginalFormat(BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PictureChanged() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SaveAsFile(LPSTREAM, BOOL, LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Attributes(DWORD*) override { return E_NOTIMPL; }

private:
    long width_, height_;
    COLORREF color_;
};

TEST(HimetricToPixels, RoundsToNearestAtEachResolution) {
    struct Case {
        long himetric;
        int dpi;
        int pixels;
    };
    const Case cases[] = {
        {12700, 96, 480}, {5900, 96, 223},   // 222.99
        {12700, 120, 600}, {5900, 120, 279},  // 278.74
        {12700, 144, 720}, {5900, 144, 334},  // 334.49
        {2540, 96, 96},   {0, 96, 0},
        {13, 96, 0},      {14, 96, 1},        // 0.49 and 0.53 of a pixel
    };
    for (const Case& c : cases)
        EXPECT_EQ(HimetricToPixels(c.himetric, c.dpi), c.pixels) << c.himetric << " at " << c.dpi;
}

// GetSize and Draw take the resolution from the DC they are given; a memory DC reports the
// display's logical pixels per inch.
TEST(Picture, MeasuresAndDrawsAtTheResolutionOfTheDC) {
    struct Expected {
        int dpi, cx, cy;
    };
    const Expected table[] = {{96, 480, 223}, {120, 600, 279}, {144, 720, 334}};
    Canvas canvas(800, 400);
    ASSERT_TRUE(canvas.Valid());
    const int dpi = canvas.dc()->GetDeviceCaps(LOGPIXELSY);
    ASSERT_EQ(canvas.dc()->GetDeviceCaps(LOGPIXELSX), dpi);
    const Expected* expected = nullptr;
    for (const Expected& e : table)
        if (e.dpi == dpi) expected = &e;
    if (!expected) GTEST_SKIP() << "no expectation for " << dpi << " pixels per inch";

    StandInPicture standIn(12700, 5900, RGB(0, 0, 255));
    Picture holder;
    holder.Attach(&standIn);
    EXPECT_EQ(holder.GetSize(canvas.dc()), CSize(expected->cx, expected->cy));
    EXPECT_TRUE(holder.Draw(canvas.dc()));
    // Exactly (0, 0) to (cx - 1, cy - 1) is covered.
    const int right = expected->cx - 1, bottom = expected->cy - 1;
    EXPECT_EQ(canvas.Pixel(0, 0), RGB(0, 0, 255));
    EXPECT_EQ(canvas.Pixel(right, bottom), RGB(0, 0, 255));
    EXPECT_EQ(canvas.Pixel(right + 1, bottom), kPreFill);
    EXPECT_EQ(canvas.Pixel(right, bottom + 1), kPreFill);
}

TEST(Picture, EmptyHolderMeasuresNothingAndDrawsNothing) {
    Canvas canvas(64, 32);
    Picture holder;
    EXPECT_EQ(holder.GetSize(canvas.dc()), CSize(0, 0));
    EXPECT_FALSE(holder.Draw(canvas.dc()));
    EXPECT_FALSE(holder.DrawScaled(canvas.dc(), 0, 0, 64, 32));
    EXPECT_TRUE(canvas.AllPixels(kPreFill));
    holder.Free();  // nothing to free
    EXPECT_EQ(holder.GetSize(canvas.dc()), CSize(0, 0));

    StandInPicture standIn(12700, 5900, RGB(0, 0, 255));
    holder.Attach(&standIn);
    EXPECT_EQ(holder.GetSize(nullptr), CSize(0, 0));
    EXPECT_FALSE(holder.Draw(nullptr));
}

TEST(Picture, ReleasesItsPictureOnceWhenFreedOrDestroyed) {
    StandInPicture freed(100, 100, 0), destroyed(100, 100, 0);
    {
        Picture holder;
        holder.Attach(&freed);
        holder.Free();
        EXPECT_EQ(freed.references, 0u);
        holder.Free();
        EXPECT_EQ(freed.references, 0u);
        holder.Attach(&destroyed);
    }
    EXPECT_EQ(destroyed.references, 0u);
}

TEST(Picture, LoadsTheBackgroundResourceAndDrawsItUpright) {
    Canvas canvas(500, 240);
    Picture holder;
    ASSERT_TRUE(holder.LoadFromResource("JPG", MAKEINTRESOURCEA(IDR_BACKGROUND)));
    // The system loader measures a JPEG at the display's resolution, so it comes back at its
    // pixel size through a DC of that resolution.
    EXPECT_EQ(holder.GetSize(canvas.dc()), CSize(480, 223));
    EXPECT_TRUE(holder.Draw(canvas.dc()));

    EXPECT_TRUE(Near(canvas.Pixel(0, 0), RGB(22, 66, 31)));  // banner, top-left
    EXPECT_TRUE(IsGold(canvas.Pixel(240, 36))) << Hex(canvas.Pixel(240, 36));
    EXPECT_TRUE(Near(canvas.Pixel(240, 111), kField));
    EXPECT_TRUE(Near(canvas.Pixel(0, 222), kField));
    EXPECT_TRUE(Near(canvas.Pixel(479, 222), kField));
    EXPECT_EQ(canvas.Pixel(480, 0), kPreFill);
    EXPECT_EQ(canvas.Pixel(480, 222), kPreFill);
    EXPECT_EQ(canvas.Pixel(0, 223), kPreFill);
    EXPECT_EQ(canvas.Pixel(499, 239), kPreFill);
}

TEST(Picture, DrawScaledStretchesIntoTheRectangleOnly) {
    Canvas canvas(300, 160);
    Picture holder;
    ASSERT_TRUE(holder.LoadFromResource("JPG", MAKEINTRESOURCEA(IDR_BACKGROUND)));
    EXPECT_TRUE(holder.DrawScaled(canvas.dc(), 10, 20, 240, 111));

    // Inside: corners changed, banner at the top (its gold rule halfway down the banner),
    // field at the bottom: upright.
    for (POINT p : {POINT{10, 20}, POINT{249, 20}, POINT{10, 130}, POINT{249, 130}})
        EXPECT_NE(canvas.Pixel(p.x, p.y), kPreFill) << p.x << "," << p.y;
    EXPECT_TRUE(IsGold(canvas.Pixel(130, 20 + 18))) << Hex(canvas.Pixel(130, 38));
    EXPECT_TRUE(Near(canvas.Pixel(130, 125), kField));
    // Outside: untouched.
    for (POINT p : {POINT{9, 20}, POINT{10, 19}, POINT{250, 130}, POINT{249, 131}, POINT{0, 0}, POINT{299, 159}})
        EXPECT_EQ(canvas.Pixel(p.x, p.y), kPreFill) << p.x << "," << p.y;
}

// The pixels a picture brings, independent of the DC: what the window scales by the screen's DPI.
TEST(Picture, PixelSizeIsThePicturesOwnAtAnyResolution) {
    Picture holder;
    EXPECT_EQ(holder.GetPixelSize(), CSize(0, 0));
    ASSERT_TRUE(holder.LoadFromResource("JPG", MAKEINTRESOURCEA(IDR_BACKGROUND)));
    EXPECT_EQ(holder.GetPixelSize(), CSize(480, 223));
    // A picture without a bitmap of its own is measured at 96 pixels per inch.
    StandInPicture standIn(12700, 5900, RGB(0, 0, 255));
    holder.Attach(&standIn);
    EXPECT_EQ(holder.GetPixelSize(), CSize(480, 223));
}

// Drawn twice its size, the banner is resampled: pixel doubling would make every other pixel a
// copy of its neighbour; smooth resampling leaves few more equal neighbours than the picture has.
TEST(Picture, DrawScaledResamplesSmoothly) {
    Canvas canvas(960, 446);
    Picture holder;
    ASSERT_TRUE(holder.LoadFromResource("JPG", MAKEINTRESOURCEA(IDR_BACKGROUND)));
    EXPECT_TRUE(holder.DrawScaled(canvas.dc(), 0, 0, 960, 446));
    int equal = 0, total = 0;
    for (int y = 10; y < 70; ++y)
        for (int x = 0; x + 1 < 940; ++x, ++total) equal += canvas.Pixel(x, y) == canvas.Pixel(x + 1, y);
    EXPECT_LT(equal, total * 3 / 10) << equal << " of " << total;
    EXPECT_TRUE(IsGold(canvas.Pixel(480, 73))) << Hex(canvas.Pixel(480, 73));
    EXPECT_TRUE(Near(canvas.Pixel(480, 300), kField));
}

TEST(Picture, StatesFromEmptyToLoadedAndBack) {
    Canvas canvas(500, 240);
    Picture holder;
    ASSERT_TRUE(holder.LoadFromResource("JPG", MAKEINTRESOURCEA(IDR_BACKGROUND)));
    EXPECT_EQ(holder.GetSize(canvas.dc()), CSize(480, 223));
    holder.Free();
    EXPECT_EQ(holder.GetSize(canvas.dc()), CSize(0, 0));
    EXPECT_FALSE(holder.Draw(canvas.dc()));
    EXPECT_TRUE(canvas.AllPixels(kPreFill));

    // Loaded again from a copy of the bytes that is gone before the picture is drawn.
    {
        std::vector<char> bytes = BackgroundBytes();
        ASSERT_TRUE(holder.LoadFromMemory(bytes.data(), static_cast<int>(bytes.size())));
        std::fill(bytes.begin(), bytes.end(), 0);
    }
    EXPECT_TRUE(holder.Draw(canvas.dc()));
    EXPECT_TRUE(Near(canvas.Pixel(240, 111), kField));
}

TEST(Picture, SuccessfulLoadReleasesThePictureItReplaces) {
    StandInPicture old(100, 100, 0);
    Picture holder;
    holder.Attach(&old);
    std::vector<char> bytes = BackgroundBytes();
    ASSERT_TRUE(holder.LoadFromMemory(bytes.data(), static_cast<int>(bytes.size())));
    EXPECT_EQ(old.references, 0u);
    Canvas canvas(8, 8);
    EXPECT_EQ(holder.GetSize(canvas.dc()), CSize(480, 223));
}

// Bytes that are not a picture leave the holder empty, and the picture it held is released.
TEST(Picture, BytesThatAreNotAPictureEmptyTheHolder) {
    const std::vector<char> jpeg = BackgroundBytes();
    const size_t scan = StartOfScan(jpeg);
    ASSERT_GT(scan, 0u);
    const std::string text = "not a jpeg";
    struct Case {
        const char* what;
        const void* data;
        int size;
    };
    const Case cases[] = {
        {"ten bytes of text", text.data(), static_cast<int>(text.size())},
        {"no bytes", jpeg.data(), 0},
        {"no buffer", nullptr, 100},
        {"a negative size", jpeg.data(), -1},
        {"headers without image data", jpeg.data(), static_cast<int>(scan)},
        {"the first two bytes", jpeg.data(), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        StandInPicture old(12700, 5900, RGB(0, 0, 255));
        Picture holder;
        holder.Attach(&old);
        EXPECT_FALSE(holder.LoadFromMemory(c.data, c.size));
        EXPECT_EQ(old.references, 0u);
        Canvas canvas(16, 16);
        EXPECT_EQ(holder.GetSize(canvas.dc()), CSize(0, 0));
        EXPECT_FALSE(holder.Draw(canvas.dc()));
        EXPECT_TRUE(canvas.AllPixels(kPreFill));
    }
}

// A JPEG cut short inside its image data (Wine's loader refuses all of these; Windows' may show
// what it has): whatever the loader says, the holder ends in the state that matches its answer,
// and the picture held before is released either way.
TEST(Picture, JpegCutShortInItsImageDataEndsInAConsistentState) {
    const std::vector<char> jpeg = BackgroundBytes();
    for (size_t length : {StartOfScan(jpeg) + 20, jpeg.size() / 2, jpeg.size() - 2}) {
        SCOPED_TRACE(length);
        StandInPicture old(12700, 5900, RGB(0, 0, 255));
        Picture holder;
        holder.Attach(&old);
        bool loaded = holder.LoadFromMemory(jpeg.data(), static_cast<int>(length));
        EXPECT_EQ(old.references, 0u);
        Canvas canvas(500, 240);
        EXPECT_EQ(holder.GetSize(canvas.dc()), loaded ? CSize(480, 223) : CSize(0, 0));
        EXPECT_EQ(holder.Draw(canvas.dc()), loaded);
        EXPECT_EQ(canvas.AllPixels(kPreFill), !loaded);
    }
}

// Takes every free range of the address space of at least 1 MB for the life of the object, so
// that no block of `size` bytes (more than 1 MB) can be had until it goes.
class AddressSpaceHeld {
public:
    explicit AddressSpaceHeld() {
        for (SIZE_T chunk = SIZE_T{1} << 30; chunk >= (SIZE_T{1} << 20); chunk /= 2)
            while (void* range = VirtualAlloc(nullptr, chunk, MEM_RESERVE, PAGE_NOACCESS)) held_.push_back(range);
    }
    ~AddressSpaceHeld() {
        for (void* range : held_) VirtualFree(range, 0, MEM_RELEASE);
    }
    AddressSpaceHeld(const AddressSpaceHeld&) = delete;
    AddressSpaceHeld& operator=(const AddressSpaceHeld&) = delete;

private:
    std::vector<void*> held_;
};

// When the system cannot give the memory for the copy, nothing is copied and the held picture
// stays. The bytes are real, so a copy that went ahead would still read only what exists.
TEST(Picture, LoadThatGetsNoMemoryKeepsTheHeldPicture) {
    const int size = 16 << 20;
    std::vector<char> bytes(static_cast<size_t>(size));
    StandInPicture held(12700, 5900, RGB(0, 0, 255));
    Picture holder;
    holder.Attach(&held);
    bool loaded;
    {
        AddressSpaceHeld full;
        HGLOBAL probe = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(size));
        ASSERT_EQ(probe, nullptr) << "the address space still had room";
        loaded = holder.LoadFromMemory(bytes.data(), size);
    }
    EXPECT_FALSE(loaded);
    EXPECT_EQ(held.references, 1u);
    Canvas canvas(8, 8);
    EXPECT_NE(holder.GetSize(canvas.dc()), CSize(0, 0));
}

// A missing resource leaves the holder empty even when it held a picture.
TEST(Picture, MissingResourceEmptiesTheHolder) {
    StandInPicture old(12700, 5900, RGB(0, 0, 255));
    Picture holder;
    holder.Attach(&old);
    EXPECT_FALSE(holder.LoadFromResource("JPG", MAKEINTRESOURCEA(999)));
    EXPECT_EQ(old.references, 0u);
    Canvas canvas(8, 8);
    EXPECT_EQ(holder.GetSize(canvas.dc()), CSize(0, 0));
}

TEST(ReadResourceBytes, ReportsSizeAndCopiesOnlyIntoABufferThatHoldsIt) {
    const std::vector<char> resource = BackgroundBytes();
    ASSERT_FALSE(resource.empty());
    const int length = static_cast<int>(resource.size());
    const LPCSTR name = MAKEINTRESOURCEA(IDR_BACKGROUND);

    int size = -1;
    EXPECT_TRUE(ReadResourceBytes(name, "JPG", nullptr, &size));
    EXPECT_EQ(size, length);

    struct Case {
        const char* what;
        int capacity;
        bool copies;
    };
    const Case cases[] = {
        {"one byte short", length - 1, false},
        {"exact", length, true},
        {"larger", length + 100, true},
        {"negative", -1, false},
    };
    const char kUntouched = 0x5A;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<char> buffer(length + 100, kUntouched);
        int capacity = c.capacity;
        EXPECT_EQ(ReadResourceBytes(name, "JPG", buffer.data(), &capacity), c.copies);
        EXPECT_EQ(capacity, c.capacity);  // never rewritten
        if (c.copies) {
            EXPECT_TRUE(std::equal(resource.begin(), resource.end(), buffer.begin()));
            EXPECT_EQ(buffer[length], kUntouched);
        } else {
            EXPECT_EQ(std::count(buffer.begin(), buffer.end(), kUntouched), length + 100);
        }
    }
}

TEST(ReadResourceBytes, MissingResourceGivesNothing) {
    char buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (auto [name, type] : {std::pair{MAKEINTRESOURCEA(999), "JPG"},
                              std::pair{MAKEINTRESOURCEA(IDR_BACKGROUND), "PNG"}}) {
        int size = 1234;
        EXPECT_FALSE(ReadResourceBytes(name, type, nullptr, &size));
        EXPECT_EQ(size, 1234);
        size = sizeof(buffer);
        EXPECT_FALSE(ReadResourceBytes(name, type, buffer, &size));
        EXPECT_EQ(buffer[0], 1);
    }
}

}  // namespace
