// The program's resources as the compiled file carries them: the dialog templates control by
// control, the string table, and the pictures and manifest the program and Windows rely on.
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
        {IDOK, "Button", "Download", child | BS_DEFPUSHBUTTON | WS_DISABLED | WS_TABSTOP, 260, 7, 50, 14},
        {IDCANCEL, "Button", "Cancel", child | BS_PUSHBUTTON | WS_TABSTOP, 263, 116, 50, 14},
        {IDC_PROGRESS, "msctls_progress32", "Progress1", child | WS_BORDER, 7, 116, 255, 13},
        {-1, "Static", "Status:", child | SS_LEFT | WS_GROUP, 7, 50, 23, 8},
        {IDC_STATUS, "Static", "", child | SS_LEFT | WS_GROUP, 33, 50, 107, 8},
        {-1, "Static", "Download file:", child | SS_LEFT | WS_DISABLED | WS_GROUP, 7, 10, 46, 8},
        {IDC_DOWNLOAD_FILE, "Edit", "", child | ES_AUTOHSCROLL | WS_DISABLED | WS_BORDER | WS_TABSTOP, 56, 8, 202, 12},
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

TEST(Resources, StringTable) {
    const std::pair<UINT, const char*> expected[] = {
        {IDS_ABOUTBOX, "&About Pellmorrow Installer..."},
        {IDS_INSTALL_DIR, "C:\\Program Files\\Pellmorrow"},
        {IDS_PRODUCT_NAME, "Pellmorrow"},
        {IDS_WINDOW_TITLE, "Pellmorrow Installer"},
        {IDS_SKIN_ID, "1"},
    };
    for (const auto& [id, text] : expected) EXPECT_EQ(LoadResourceString(id), text) << id;
    EXPECT_FALSE(LoadResourceString(IDS_SERVER_HOST).empty());
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
    EXPECT_NE(text.find("<dpiAware"), std::string::npos);
}

}  // namespace
