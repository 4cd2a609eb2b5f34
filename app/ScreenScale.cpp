#include "app/ScreenScale.h"

#include "services/SystemDlls.h"

namespace {

// A USER32 function that this Windows may lack; null then.
template <typename Function>
Function User32Function(const char* name) {
    return DllFunction<Function>(GetModuleHandleW(L"user32.dll"), name);
}

UINT SystemDpi() {
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kDesignDpi;
}

}  // namespace

RECT ScaleToDpi(const RECT& design, UINT dpi) {
    return {ScaleToDpi(design.left, dpi), ScaleToDpi(design.top, dpi), ScaleToDpi(design.right, dpi),
            ScaleToDpi(design.bottom, dpi)};
}

UINT WindowDpi(HWND window) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    const auto getDpiForWindow = User32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    UINT dpi = getDpiForWindow ? getDpiForWindow(window) : 0;
    return dpi ? dpi : SystemDpi();
}

SIZE WindowSizeForClient(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, UINT dpi) {
    using AdjustForDpiFunction = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    const auto adjustForDpi = User32Function<AdjustForDpiFunction>("AdjustWindowRectExForDpi");
    RECT rect{0, 0, clientWidth, clientHeight};
    if (adjustForDpi && adjustForDpi(&rect, style, FALSE, exStyle, dpi))
        return {rect.right - rect.left, rect.bottom - rect.top};
    // Without it the caption and frame have the system DPI's sizes; at another DPI they are
    // taken in proportion, which is all such a system can ask for (it never changes a window's DPI).
    RECT frame{0, 0, 0, 0};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    UINT system = SystemDpi();
    return {clientWidth + MulDiv(frame.right - frame.left, static_cast<int>(dpi), static_cast<int>(system)),
            clientHeight + MulDiv(frame.bottom - frame.top, static_cast<int>(dpi), static_cast<int>(system))};
}

void LeaveDpiChangesToDialog(HWND dialog) {
    // DDC_DISABLE_ALL: no resize, no font update, no relayout of the controls.
    constexpr int kDisableAll = 0x0001;
    using SetBehaviorFunction = BOOL(WINAPI*)(HWND, int, int);
    const auto setBehavior = User32Function<SetBehaviorFunction>("SetDialogDpiChangeBehavior");
    if (setBehavior) setBehavior(dialog, kDisableAll, kDisableAll);
}
