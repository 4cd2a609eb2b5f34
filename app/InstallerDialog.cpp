#include "app/InstallerDialog.h"

#include "app/AboutDialog.h"
#include "app/InstallerPaths.h"
#include "app/ScreenScale.h"
#include "framework/Gdi.h"
#include "framework/WinApp.h"
#include "services/OwnImage.h"
#include "services/RegistryKey.h"
#include "services/StampedBlock.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {
constexpr UINT kEnglish = ID_LANGUAGE_FIRST + 1;
// The most the window waits for the setup program's request to be answered: from a server near
// by, an answer comes sooner; from one far away, the window shows no later than this.
constexpr DWORD kRequestHeadStartMs = 100;

// The program's own file. GetModuleFileNameW does not say how much room it needs: it cuts the
// path to fit, so a full buffer asks for twice the room.
std::wstring ModulePath() {
    return GrowingPath([](wchar_t* buffer, DWORD size) -> DWORD {
        DWORD length = GetModuleFileNameW(nullptr, buffer, size);
        if (length < size) return length;
        return size >= kMaxPathBuffer ? 0 : std::min<DWORD>(size * 2, kMaxPathBuffer);
    });
}

// The temporary directory, else the current one; empty when neither can be learnt.
std::wstring TempDirectory() {
    std::wstring dir = GrowingPath([](wchar_t* buffer, DWORD size) { return GetTempPathW(size, buffer); });
    if (dir.empty())
        dir = GrowingPath([](wchar_t* buffer, DWORD size) { return GetCurrentDirectoryW(size, buffer); });
    return dir;
}

// The dialog manager's units for a font: the letters' average width, and the height.
SIZE DialogBaseUnits(HDC dc, HFONT font) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    SelectObjectScope select(dc, font);
    TEXTMETRICA metrics{};
    SIZE letters{};
    if (!GetTextMetricsA(dc, &metrics) || !GetTextExtentPoint32A(dc, kLetters, 52, &letters)) return {0, 0};
    return {(letters.cx / 26 + 1) / 2, metrics.tmHeight};
}

// 8-bit text in the system's code page as UTF-16.
std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

// What the resources and the stamp say of the installation this run may record.
InstallRecord ReadInstallRecord(const std::wstring& ownPath) {
    InstallRecord record;
    record.productName = LoadResourceString(IDS_PRODUCT_NAME);
    record.productFolder = Widen(record.productName);
    char stampRemarks[kStampRemarksSize] = {};
    StampedBlock reader;
    // The stamp lies after the image, so the reader passes over the image instead of reading it
    // a second time (the whole file when the size is 0).
    if (!ownPath.empty() && reader.ReadStamp(ownPath.c_str(), &record.affiliateId, stampRemarks, OwnImageFileSize())) {
        record.remarks = stampRemarks;
    } else {
        record.affiliateId = 0;
        record.remarks = "NoSign";
    }
    record.skinId = std::atoi(LoadResourceString(IDS_SKIN_ID).c_str());
    return record;
}
}  // namespace

InstallerDialog::InstallerDialog(CWnd* parent, DWORD silenceMs)
    : CDialog(IDD_INSTALLER_DIALOG, parent),
      ownPath(ModulePath()),
      setupWork(ReadInstallRecord(ownPath), ownPath, LoadResourceString(IDS_SERVER_HOST), silenceMs,
                &proxyCredentials),
      silenceMs(silenceMs) {}

InstallerDialog::~InstallerDialog() {
    proxyCredentials.Close();
    // The window is gone: the run's result request gets what is left of its bound first, so
    // that a slideshow worker still in a read does not end the process under it.
    setupWork.FinishResult();
    // A worker still inside a network read after Cancel's wait would go on using this object's
    // downloader: nothing of the cancelled run is worth keeping, so the process ends first.
    // (The setup's workers guard themselves the same way.)
    EndProcessIfStillUsed(slideDownloader.InUse());
}

void InstallerDialog::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, progress);
    DDX_Control(pDX, IDCANCEL, cancelButton);
}

// The setup program's request goes out before any window exists: the process's first window is
// the costliest step of the start-up, and it is made while the request is on its way. What the
// request needs comes first: the stamp (read as the dialog is made), the installed check and the
// setup program's place.
void InstallerDialog::BeginRun() {
    LaunchInstalledGameAndExit();
    // The setup program goes into a new folder of this run's own: without one there is nowhere to
    // put it, and the download fails.
    session.SetTarget(setupWork.MakeProgramPath(TempDirectory()));
    StartSetupDownload(kEnglish);
    // The window, which comes next, loads its DLLs only after this.
    setupWork.WaitUntilDownloadAnswered(kRequestHeadStartMs);
}

// The download's news has gone nowhere until now: from here on it comes to this window, and
// what came before is read once. The slideshow's download starts next; the rest of the window
// is built while the requests are on their way. None of it shows before this returns, so the
// order changes nothing on the screen.
BOOL InstallerDialog::OnInitDialog() {
    CDialog::OnInitDialog();
    SetUpProgressBar();
    setupWork.SendNewsTo(m_hWnd);
    // A proxy that asked for credentials before the window existed is answered now.
    proxyCredentials.ShowTo(m_hWnd);
    sessionView.ShowWhatCameBeforeWindow();
    ReadSetupDownload();
    ShowDownloadStarted();

    AddAboutToSystemMenu();
    icon = LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME));
    SetIcon(icon, TRUE);
    SetIcon(icon, FALSE);
    SetWindowText(LoadResourceString(IDS_WINDOW_TITLE).c_str());
    {
        CClientDC dc(this);
        background.LoadFromResource("JPG", MAKEINTRESOURCEA(IDR_BACKGROUND));
        TakeScreenScale();
        FitWindowToBackground();
        CreateLanguageButtons(dc);
    }
    // Made after the download started, which hides them: hidden like the ones it found.
    HideLanguageButtons();
    return TRUE;
}

// Enter must never close the installer.
void InstallerDialog::OnOK() {}

void InstallerDialog::AddAboutToSystemMenu() {
    HMENU menu = GetSystemMenu(FALSE);
    if (!menu) return;
    std::string about = LoadResourceString(IDS_ABOUTBOX);
    if (about.empty()) return;
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
}

// An installed product is launched instead of being downloaded again; the installer then ends
// before its window is ever shown.
void InstallerDialog::LaunchInstalledGameAndExit() {
    const std::string& productName = setupWork.Record().productName;
    RegistryKey key;
    std::wstring installDir;
    if (!key.OpenProduct(productName, false) || !key.ReadString(L"installDir", installDir))
        return;
    std::wstring command = InstalledGameCommand(installDir, Widen(productName));
    auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", command.c_str(), nullptr, installDir.c_str(), SW_SHOW));
    if (result > 32) std::exit(1);
}

// The screen's scale the window starts at, which the template's font was made for; later changes
// of scale are this window's to follow, not the dialog manager's.
void InstallerDialog::TakeScreenScale() {
    dpi = WindowDpi(m_hWnd);
    fontDpi = dpi;
    templateFont = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
    LeaveDpiChangesToDialog(m_hWnd);
}

// At 96 DPI the window takes the start-up picture's width and 17 pixels more than its height;
// the frame is not allowed for, so the picture is cut at the right and bottom, never stretched.
// That client area is the design: at another DPI the client area is the design scaled, and the
// caption and frame at that DPI come on top, so the same part of the picture shows at every scale.
void InstallerDialog::FitWindowToBackground() {
    CSize picture = background.GetPixelSize();
    SIZE frame = WindowSizeForClient(0, 0, GetWindowLongA(m_hWnd, GWL_STYLE), GetWindowLongA(m_hWnd, GWL_EXSTYLE),
                                     kDesignDpi);
    designClient = {std::max(0L, picture.cx - frame.cx), std::max(0L, picture.cy + 17 - frame.cy)};
    SIZE window = WindowSizeAt(dpi);
    SetWindowPos(nullptr, 0, 0, window.cx, window.cy, SWP_NOMOVE | SWP_NOZORDER);
}

// The window's outer size at `atDpi`.
SIZE InstallerDialog::WindowSizeAt(UINT atDpi) const {
    return WindowSizeForClient(ScaleToDpi(designClient.cx, atDpi), ScaleToDpi(designClient.cy, atDpi),
                               GetWindowLongA(m_hWnd, GWL_STYLE), GetWindowLongA(m_hWnd, GWL_EXSTYLE), atDpi);
}

// The thirteen language buttons, each flat over the window's own pixels with its caption
// bitmap's rows as images, and the Cancel button in the skin's colours. `dc` is the window's
// client DC, taken for the background.
void InstallerDialog::CreateLanguageButtons(CDC& dc) {
    for (UINT bitmap = IDB_LANGUAGE_FIRST; bitmap <= IDB_LANGUAGE_LAST; ++bitmap) {
        SkinButton& button = languageButtons[bitmap - IDB_LANGUAGE_FIRST];
        button.Create("", WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP, CRect(), this,
                      bitmap + (ID_LANGUAGE_FIRST - IDB_LANGUAGE_FIRST));
        button.SetFlatStyle(TRUE, FALSE);
        button.SetHoverBorder(FALSE, FALSE);
        button.SetFlatFocusRect(FALSE, FALSE);
    }
    cancelDesign = CancelDesignPlace(dc);
    PlaceButtons(dc);
    cancelButton.SetFlatStyle(FALSE, FALSE);
    cancelButton.SetColorSlot(SKINBTN_HOTTEXT, RGB(255, 255, 255), FALSE);
    cancelButton.SetColorSlot(SKINBTN_NORMALTEXT, RGB(255, 255, 255), FALSE);
    cancelButton.SetColorSlot(SKINBTN_FOCUSTEXT, RGB(255, 255, 255), FALSE);
    cancelButton.SetColorSlot(SKINBTN_HOTBACK, RGB(32, 74, 62), FALSE);
    cancelButton.SetColorSlot(SKINBTN_NORMALBACK, kSkinColor, TRUE);
    cancelButton.SetColorSlot(SKINBTN_FOCUSBACK, kSkinColor, TRUE);
}

// The buttons at the window's scale. At 96 DPI the language buttons are 142 x 25 in columns below
// the banner, from the top of 50 in steps of 30, as many in a column as fit above the status
// bar's place, and at least one; the columns 152 apart from x = 15. Each takes its images at the
// scale and paints over the window's pixels as they are now.
void InstallerDialog::PlaceButtons(CDC& dc) {
    int x = 15, top = 50;
    for (UINT bitmap = IDB_LANGUAGE_FIRST; bitmap <= IDB_LANGUAGE_LAST; ++bitmap) {
        SkinButton& button = languageButtons[bitmap - IDB_LANGUAGE_FIRST];
        CRect place(ScaleToDpi(RECT{x, top, x + 142, top + 25}, dpi));
        button.MoveWindow(place.left, place.top, place.Width(), place.Height(), FALSE);
        button.UseParentBackground(FALSE);
        SplitLanguageBitmap(&dc, bitmap, &button, dpi);
        top += 30;
        if (top >= designClient.cy - 25) {
            x += 152;
            top = 50;
        }
    }
    CRect cancel(ScaleToDpi(cancelDesign, dpi));
    cancelButton.MoveWindow(cancel.left, cancel.top, cancel.Width(), cancel.Height(), FALSE);
}

// Cancel's place at 96 DPI: where the template puts it with the dialog's font made for 96 DPI.
// Dialog units follow the font's letters, which do not grow in proportion with the DPI, so at
// another DPI the template's place is taken back to dialog units and laid out with the base
// units of that font.
RECT InstallerDialog::CancelDesignPlace(CDC& dc) const {
    RECT place{};
    ::GetWindowRect(cancelButton.m_hWnd, &place);
    MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&place), 2);
    if (fontDpi == kDesignDpi) return place;
    RECT now{0, 0, 4, 8};  // becomes the base width and height of the dialog's font
    MapDialogRect(m_hWnd, &now);
    SIZE design{};
    LOGFONTA font{};
    if (templateFont && GetObjectA(templateFont, sizeof(font), &font) == sizeof(font)) {
        font.lfHeight = -MulDiv(MulDiv(std::abs(font.lfHeight), 72, static_cast<int>(fontDpi)), kDesignDpi, 72);
        font.lfWidth = 0;
        UniqueGdiObject designFont(CreateFontIndirectA(&font));
        if (designFont) design = DialogBaseUnits(dc, static_cast<HFONT>(designFont.get()));
    }
    if (!now.right || !now.bottom || !design.cx || !design.cy) {  // nothing to measure: in proportion
        now = {0, 0, static_cast<LONG>(fontDpi), static_cast<LONG>(fontDpi)};
        design = {kDesignDpi, kDesignDpi};
    }
    // A horizontal dialog unit is a quarter of the base width, a vertical one an eighth of the
    // base height; pixels are made from them as the dialog manager makes them.
    const int x = MulDiv(place.left, 4, now.right), y = MulDiv(place.top, 8, now.bottom);
    const int cx = MulDiv(place.right - place.left, 4, now.right);
    const int cy = MulDiv(place.bottom - place.top, 8, now.bottom);
    const int left = MulDiv(x, design.cx, 4), top = MulDiv(y, design.cy, 8);
    return {left, top, left + MulDiv(cx, design.cx, 4), top + MulDiv(cy, design.cy, 8)};
}

// A language bitmap holds three rows of one caption: plain (the normal image), underlined (the
// hot image) and a third that is not used. Pure red is transparent in both. A bitmap that cannot
// be loaded or split leaves the button without images.
void InstallerDialog::SplitLanguageBitmap(CDC* dc, UINT bitmapId, SkinButton* button, UINT dpi) {
    UniqueGdiObject loaded(LoadBitmapA(AfxGetResourceHandle(), MAKEINTRESOURCEA(bitmapId)));
    BITMAP info{};
    if (!loaded || GetObjectA(loaded.get(), sizeof(info), &info) != sizeof(info)) return;
    const int width = info.bmWidth, row = info.bmHeight / 3;
    const int scaledWidth = ScaleToDpi(width, dpi), scaledRow = ScaleToDpi(row, dpi);
    UniqueGdiObject middle(CreateCompatibleBitmap(*dc, scaledWidth, scaledRow));
    UniqueGdiObject topRow(CreateCompatibleBitmap(*dc, scaledWidth, scaledRow));
    UniqueMemoryDC source(CreateCompatibleDC(*dc));
    UniqueMemoryDC target(CreateCompatibleDC(*dc));
    if (!middle || !topRow || !source || !target) return;
    // Resampled smoothly at another scale. The red key occurs nowhere in the art, so averaging
    // never makes a key pixel nor half of one.
    if (dpi != kDesignDpi) {
        SetStretchBltMode(target.get(), HALFTONE);
        SetBrushOrgEx(target.get(), 0, 0, nullptr);
    }
    auto copyRow = [&](HGDIOBJ into, int sourceY) {
        SelectObjectScope selectTarget(target.get(), into);
        if (dpi == kDesignDpi)
            BitBlt(target.get(), 0, 0, width, row, source.get(), 0, sourceY, SRCCOPY);
        else
            StretchBlt(target.get(), 0, 0, scaledWidth, scaledRow, source.get(), 0, sourceY, width, row, SRCCOPY);
    };
    {
        SelectObjectScope selectSource(source.get(), loaded.get());
        copyRow(middle.get(), row);
        copyRow(topRow.get(), 0);
    }
    constexpr COLORREF kRed = RGB(255, 0, 0);
    button->SetImages(static_cast<HBITMAP>(middle.release()), kRed, static_cast<HBITMAP>(topRow.release()), kRed);
}

LRESULT InstallerDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SYSCOMMAND:
        OnSysCommand(static_cast<UINT>(wParam), lParam);
        return 0;
    case WM_PAINT:
        OnPaint();
        return 0;
    case WM_TIMER:
        OnTimer(static_cast<UINT>(wParam));
        return 0;
    case WM_ERASEBKGND: {
        CDC dc(reinterpret_cast<HDC>(wParam));
        return OnEraseBkgnd(&dc);
    }
    case WM_WINDOWPOSCHANGING:
        // The download may complete before the dialog is first shown; once the setup program
        // runs, the window must not appear.
        if (session.CurrentStage() == SetupSession::Stage::HandOver)
            reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
        break;
    case WM_SIZE:
        OnSize(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_DPICHANGED:
        OnDpiChanged(LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_GETDPISCALEDSIZE:
        return OnGetDpiScaledSize(static_cast<UINT>(wParam), reinterpret_cast<SIZE*>(lParam));
    case WM_GETFONT:
        if (scaledFont) return reinterpret_cast<LRESULT>(scaledFont.get());
        break;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<LRESULT>(icon);
    case WM_COMMAND:
        if (HIWORD(wParam) == 0 && LOWORD(wParam) >= ID_LANGUAGE_FIRST && LOWORD(wParam) <= ID_LANGUAGE_LAST) {
            StartDownload(LOWORD(wParam));
            return 0;
        }
        break;
    case WM_SLIDESHOW_DESCRIPTION:
        OnSlideshowDescriptionArrived();
        return 0;
    case WM_SLIDESHOW_PICTURE:
        OnSlidePictureArrived();
        return 0;
    case SetupWorkers::WM_SETUP_DOWNLOAD:
        ReadSetupDownload();
        return 0;
    case ProxyCredentials::WM_PROXY_CREDENTIALS:
        proxyCredentials.OnAsked();
        return 0;
    case WM_DESTROY:
        proxyCredentials.Close();
        break;
    case SetupWorkers::WM_SETUP_CHECKED:
        session.OnChecked(Failure{static_cast<FailureReason>(wParam), static_cast<uint32_t>(lParam)});
        return 0;
    }
    return CDialog::WindowProc(message, wParam, lParam);
}

void InstallerDialog::OnSysCommand(UINT id, LPARAM) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        AboutDialog about;
        about.DoModal();
    } else {
        Default();
    }
}

void InstallerDialog::OnPaint() {
    if (!IsIconic()) {
        Default();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    CRect client;
    GetClientRect(&client);
    int x = (client.Width() - GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.Height() - GetSystemMetrics(SM_CYICON) + 1) / 2;
    dc.DrawIcon(x, y, icon);
}

// The whole client area is the skin colour with the background picture over it at (0, 0), its
// pixels scaled to the screen's.
BOOL InstallerDialog::OnEraseBkgnd(CDC* dc) {
    CRect client;
    GetClientRect(&client);
    CBrush skin(kSkinColor);
    dc->FillRect(&client, skin);
    CSize picture = background.GetPixelSize();
    background.DrawScaled(dc, 0, 0, ScaleToDpi(picture.cx, dpi), ScaleToDpi(picture.cy, dpi));
    return FALSE;
}

// Moved to a screen of another scale: the window takes the size the system suggests (the one
// OnGetDpiScaledSize gave it where the system asks), and everything is laid out and drawn again
// at the new scale.
void InstallerDialog::OnDpiChanged(UINT newDpi, const RECT* suggested) {
    if (newDpi == 0 || !suggested) return;
    dpi = newDpi;
    ScaleFonts();
    // The status bar follows the new size in OnSize.
    SetWindowPos(nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    CClientDC dc(this);
    PlaceButtons(dc);
    RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

// Asked before a move to a screen of another scale: the window's size there.
BOOL InstallerDialog::OnGetDpiScaledSize(UINT newDpi, SIZE* size) const {
    if (newDpi == 0 || !size) return FALSE;
    *size = WindowSizeAt(newDpi);
    return TRUE;
}

// The status bar's text (which uses the dialog's font) and the Cancel button's caption at the
// window's DPI: the dialog's own font while that is the one it was made for, else a copy of it
// scaled.
void InstallerDialog::ScaleFonts() {
    UniqueGdiObject previous = std::move(scaledFont);
    LOGFONTA font{};
    if (dpi != fontDpi && templateFont && GetObjectA(templateFont, sizeof(font), &font) == sizeof(font)) {
        font.lfHeight = MulDiv(font.lfHeight, static_cast<int>(dpi), static_cast<int>(fontDpi));
        font.lfWidth = MulDiv(font.lfWidth, static_cast<int>(dpi), static_cast<int>(fontDpi));
        scaledFont.reset(CreateFontIndirectA(&font));
    }
    HGDIOBJ current = scaledFont ? scaledFont.get() : templateFont;
    if (cancelButton.m_hWnd) cancelButton.SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(current), FALSE);
    // `previous` goes now that no window draws with it.
}
