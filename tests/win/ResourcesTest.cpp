// The program's resources as the compiled file carries them: the dialog templates control by
// control, the string table, and the pictures and manifest the program and Windows rely on.
#include "framework/Handles.h"
#include "framework/WinApp.h"
#include "resource.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Reads one DLGTEMPLATEEX: header, then items, each DWORD-aligned.
struct DialogItem {
    int id;
    std::string className;  // a predefined class by atom becomes its name
    std::string text;
    DWORD style;
    short x, y, cx, cy;
};
struct DialogTemplate {
    DWORD style = 0, exStyle = 0;
    short cx = 0, cy = 0;
    std::string caption, font;
    WORD pointSize = 0;
    std::vector<DialogItem> items;
};

class TemplateReader {
public:
    explicit TemplateReader(const BYTE* data) : p_(data) {}
    template <typename T> T Read() {
        T value;
        std::memcpy(&value, p_, sizeof(T));
        p_ += sizeof(T);
        return value;
    }
    // A string, an ordinal (0xFFFF + id) or nothing (0).
    std::string ReadSzOrOrdinal(WORD* ordinal = nullptr) {
        WORD first = Read<WORD>();
        if (first == 0xFFFF) {
            WORD id = Read<WORD>();
            if (ordinal) *ordinal = id;
            return "#" + std::to_string(id);
        }
        std::string text;
        for (WORD c = first; c != 0; c = Read<WORD>()) text += static_cast<char>(c);
        return text;
    }
    void AlignDword(const BYTE* base) {
        while ((p_ - base) % 4) ++p_;
    }

private:
    const BYTE* p_;
};

DialogTemplate LoadDialogTemplate(int id) {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    EXPECT_NE(found, nullptr);
    const auto* base = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found)));
    TemplateReader r(base);
    DialogTemplate t;
    EXPECT_EQ(r.Read<WORD>(), 1);       // dlgVer
    EXPECT_EQ(r.Read<WORD>(), 0xFFFF);  // signature of an extended template
    r.Read<DWORD>();                    // helpID
    t.exStyle = r.Read<DWORD>();
    t.style = r.Read<DWORD>();
    WORD count = r.Read<WORD>();
    r.Read<short>();
    r.Read<short>();
    t.cx = r.Read<short>();
    t.cy = r.Read<short>();
    r.ReadSzOrOrdinal();  // menu
    r.ReadSzOrOrdinal();  // class
    t.caption = r.ReadSzOrOrdinal();
    t.pointSize = r.Read<WORD>();
    r.Read<WORD>();  // weight
    r.Read<WORD>();  // italic, charset
    t.font = r.ReadSzOrOrdinal();
    static const char* const kAtoms[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"};
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword(base);
        DialogItem item{};
        r.Read<DWORD>();  // helpID
        r.Read<DWORD>();  // exStyle
        item.style = r.Read<DWORD>();
        item.x = r.Read<short>();
        item.y = r.Read<short>();
        item.cx = r.Read<short>();
        item.cy = r.Read<short>();
        item.id = static_cast<int>(r.Read<DWORD>());
        WORD atom = 0;
        item.className = r.ReadSzOrOrdinal(&atom);
        if (atom >= 0x80 && atom <= 0x85) item.className = kAtoms[atom - 0x80];
        item.text = r.ReadSzOrOrdinal();
        WORD extra = r.Read<WORD>();
        for (WORD b = 0; b < extra; ++b) r.Read<BYTE>();
        t.items.push_back(item);
    }
    return t;
}

TEST(Resources, MainDialogTemplate) {
    DialogTemplate t = LoadDialogTemplate(IDD_INSTALLER_DIALOG);
    EXPECT_EQ(t.style, 0x90CA00C0u);
    EXPECT_EQ(t.exStyle, static_cast<DWORD>(WS_EX_APPWINDOW));
    EXPECT_EQ(t.cx, 320);
    EXPECT_EQ(t.cy, 137);
    EXPECT_EQ(t.font, "MS Sans Serif");
    EXPECT_EQ(t.pointSize, 8);
    const DWORD child = WS_CHILD;
    const DialogItem expected[] = {
        {IDCANCEL, "Button", "Cancel", child | BS_PUSHBUTTON | WS_TABSTOP, 263, 116, 50, 14},
        {IDC_PROGRESS, "msctls_progress32", "Progress1", child | WS_BORDER, 7, 116, 255, 13},
        {-1, "Static", "Status:", child | SS_LEFT | WS_GROUP, 7, 50, 23, 8},
        {-1, "Static", "Download file:", child | SS_LEFT | WS_DISABLED | WS_GROUP, 7, 10, 46, 8},
    };
    ASSERT_EQ(t.items.size(), std::size(expected));
    for (size_t i = 0; i < t.items.size(); ++i) {
        const DialogItem& a = t.items[i];
        const DialogItem& e = expected[i];
        SCOPED_TRACE(e.text);
        EXPECT_EQ(static_cast<short>(a.id), e.id);
        EXPECT_STRCASEEQ(a.className.c_str(), e.className.c_str());
        EXPECT_EQ(a.text, e.text);
        EXPECT_EQ(a.style, e.style);  // none is visible at first
        EXPECT_EQ((std::vector<short>{a.x, a.y, a.cx, a.cy}), (std::vector<short>{e.x, e.y, e.cx, e.cy}));
    }
}

TEST(Resources, AboutBoxTemplate) {
    DialogTemplate t = LoadDialogTemplate(IDD_ABOUTBOX);
    EXPECT_EQ(t.cx, 235);
    EXPECT_EQ(t.cy, 55);
    EXPECT_EQ(t.caption, "Pellmorrow Installer");
    EXPECT_EQ(t.font, "MS Sans Serif");
    EXPECT_EQ(t.pointSize, 8);
    std::vector<std::string> texts;
    bool hasIcon = false, hasOk = false;
    for (const DialogItem& item : t.items) {
        texts.push_back(item.text);
        hasIcon |= item.className == "Static" && (item.style & SS_ICON) && item.text == "#128";
        hasOk |= item.id == IDOK && item.text == "OK";
    }
    EXPECT_TRUE(hasIcon);
    EXPECT_TRUE(hasOk);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Pellmorrow Installer Version 1.0"), texts.end());
    EXPECT_EQ(t.items.size(), 4u);
}

// The six fixed settings as shipped. String 103 is among them although the program no longer
// reads it: the table keeps its six entries, and a build that dropped or changed one would ship
// another table than its publishers configure.
TEST(Resources, StringTable) {
    const std::pair<UINT, const char*> expected[] = {
        {IDS_ABOUTBOX, "&About Pellmorrow Installer..."},
        {IDS_INSTALL_DIR, "C:\\Program Files\\Pellmorrow"},  // carried, not read
        {IDS_PRODUCT_NAME, "Pellmorrow"},
        {IDS_WINDOW_TITLE, "Pellmorrow Installer"},
        {IDS_SKIN_ID, "1"},
    };
    for (const auto& [id, text] : expected) EXPECT_EQ(LoadResourceString(id), text) << id;
    EXPECT_FALSE(LoadResourceString(IDS_SERVER_HOST).empty());
}

// The icon's pictures are stored PNG-compressed: each size must still decode, keep its
// transparent corners and draw the shield in the middle.
TEST(Resources, IconDecodesAtEverySize) {
    for (int size : {16, 32, 48}) {
        SCOPED_TRACE(size);
        HICON icon = static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr),
                                                   MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                                   size, size, 0));
        ASSERT_NE(icon, nullptr);
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = size;
        info.bmiHeader.biHeight = -size;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        UniqueMemoryDC dc(CreateCompatibleDC(nullptr));
        UniqueGdiObject target(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        ASSERT_NE(target.get(), nullptr);
        HGDIOBJ old = SelectObject(dc.get(), target.get());
        const DWORD kKey = 0x00FF00FF;  // magenta, in no colour of the icon
        auto* pixels = static_cast<DWORD*>(bits);
        std::fill(pixels, pixels + size * size, kKey);
        EXPECT_TRUE(DrawIconEx(dc.get(), 0, 0, icon, size, size, 0, nullptr, DI_NORMAL));
        GdiFlush();
        EXPECT_EQ(pixels[0] & 0xFFFFFF, kKey);
        EXPECT_NE(pixels[size / 2 * size + size / 2] & 0xFFFFFF, kKey);
        SelectObject(dc.get(), old);
        DestroyIcon(icon);
    }
}

TEST(Resources, IconBackgroundAndManifest) {
    EXPECT_NE(LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME)), nullptr);

    HRSRC jpeg = FindResourceA(nullptr, MAKEINTRESOURCEA(IDR_BACKGROUND), "JPG");
    ASSERT_NE(jpeg, nullptr);
    const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, jpeg)));
    DWORD size = SizeofResource(nullptr, jpeg);
    ASSERT_GT(size, 4u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);
    // The frame header gives the picture's pixel size.
    int width = 0, height = 0;
    for (DWORD i = 2; i + 9 < size;) {
        ASSERT_EQ(bytes[i], 0xFF);
        BYTE marker = bytes[i + 1];
        DWORD length = (bytes[i + 2] << 8) | bytes[i + 3];
        if (marker == 0xC0 || marker == 0xC2) {
            height = (bytes[i + 5] << 8) | bytes[i + 6];
            width = (bytes[i + 7] << 8) | bytes[i + 8];
            break;
        }
        i += 2 + length;
    }
    EXPECT_EQ(width, 480);
    EXPECT_EQ(height, 223);

    HRSRC manifest = FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24) /* RT_MANIFEST */);
    ASSERT_NE(manifest, nullptr);
    std::string text(static_cast<const char*>(LockResource(LoadResource(nullptr, manifest))),
                     SizeofResource(nullptr, manifest));
    EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
    // Per-monitor awareness as each Windows reads it: version 2, else 1 (10), true/pm (8.1),
    // true (Vista to 8: system-aware).
    EXPECT_NE(text.find(">PerMonitorV2, PerMonitor</dpiAwareness>"), std::string::npos);
    EXPECT_NE(text.find(">true/pm</dpiAware>"), std::string::npos);
}

// The language captions as the program gets them: LoadBitmap turns the stored run-length-encoded
// 8-bit picture into a bitmap of the screen's kind, which the buttons cut into rows. Every pixel
// must come out as one of the stored palette colours (a run the decoder skipped would leave black),
// none of them the red that the buttons treat as transparent.
TEST(Resources, LanguageBitmaps) {
    HINSTANCE self = GetModuleHandleA(nullptr);
    for (int id = IDB_LANGUAGE_FIRST; id <= IDB_LANGUAGE_LAST; ++id) {
        SCOPED_TRACE(id);
        HRSRC found = FindResourceA(self, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(2) /* RT_BITMAP */);
        ASSERT_NE(found, nullptr);
        const auto* info = static_cast<const BITMAPINFO*>(LockResource(LoadResource(self, found)));
        const BITMAPINFOHEADER& header = info->bmiHeader;
        EXPECT_EQ(header.biWidth, 140);
        EXPECT_EQ(header.biHeight, 72);  // bottom-up: the only kind that may be run-length-encoded
        EXPECT_EQ(header.biBitCount, 8);
        EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RLE8));
        ASSERT_GT(header.biClrUsed, 0u);
        ASSERT_LE(header.biClrUsed, 256u);
        std::vector<COLORREF> palette;
        for (DWORD i = 0; i < header.biClrUsed; ++i) {
            const RGBQUAD& c = info->bmiColors[i];
            palette.push_back(RGB(c.rgbRed, c.rgbGreen, c.rgbBlue));
        }

        UniqueGdiObject bitmap(LoadBitmapA(self, MAKEINTRESOURCEA(id)));
        ASSERT_TRUE(bitmap);
        BITMAP size{};
        ASSERT_EQ(GetObjectA(bitmap.get(), sizeof size, &size), static_cast<int>(sizeof size));
        EXPECT_EQ(size.bmWidth, 140);
        EXPECT_EQ(size.bmHeight, 72);

        // Read it back top-down at 32 bits (0x00RRGGBB), the way it is on the screen.
        BITMAPINFO wanted{};
        wanted.bmiHeader.biSize = sizeof wanted.bmiHeader;
        wanted.bmiHeader.biWidth = 140;
        wanted.bmiHeader.biHeight = -72;
        wanted.bmiHeader.biPlanes = 1;
        wanted.bmiHeader.biBitCount = 32;
        std::vector<DWORD> pixels(140 * 72);
        UniqueMemoryDC dc(CreateCompatibleDC(nullptr));
        ASSERT_EQ(GetDIBits(dc.get(), static_cast<HBITMAP>(bitmap.get()), 0, 72, pixels.data(), &wanted,
                            DIB_RGB_COLORS), 72);
        auto at = [&](int x, int y) {
            DWORD p = pixels[y * 140 + x];
            return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
        };
        const COLORREF red = RGB(255, 0, 0), white = RGB(255, 255, 255), yellow = RGB(255, 255, 0);
        int whiteTop = 0, whiteMiddle = 0, yellowBottom = 0, sameShape = 0;
        for (int y = 0; y < 72; ++y)
            for (int x = 0; x < 140; ++x) {
                COLORREF c = at(x, y);
                ASSERT_NE(c, red) << x << "," << y;
                ASSERT_NE(std::find(palette.begin(), palette.end(), c), palette.end()) << x << "," << y;
                if (y < 24) whiteTop += c == white;
                else if (y < 48) whiteMiddle += c == white;
                else yellowBottom += c == yellow;
                // The bottom row is the top row in yellow: a blend of the ground with white and
                // the same blend with yellow differ in blue only.
                if (y >= 48) sameShape += (at(x, y - 48) & 0x00FFFF) == (c & 0x00FFFF);
            }
        EXPECT_GT(whiteTop, 50);                    // text in the plain row
        EXPECT_GE(whiteMiddle, whiteTop + 60);      // the same text, underlined
        EXPECT_GT(yellowBottom, 50);                // the yellow row
        EXPECT_EQ(sameShape, 140 * 24);
        EXPECT_EQ(at(0, 0), RGB(5, 81, 21));        // the dark green ground
        EXPECT_EQ(at(139, 71), RGB(5, 81, 21));
    }
}

}  // namespace
