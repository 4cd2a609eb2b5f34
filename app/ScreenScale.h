#pragma once
// The screen's scale as a window sees it. The installer is laid out in pixels of a 96 DPI screen
// (its design size); on a screen set to another DPI every length is multiplied by DPI / 96.
//
// The calls that know about a window's own DPI came with later versions of Windows (10 and
// after): they are looked up at run time, and on a system without them the window is at the
// system's DPI, which it keeps.
#include <windows.h>

constexpr UINT kDesignDpi = 96;

// Sent before WM_DPICHANGED (Windows 10, 1703 and later), which the SDK's headers declare only for
// programs that require that version.
#ifndef WM_GETDPISCALEDSIZE
#define WM_GETDPISCALEDSIZE 0x02E4
#endif

// A design length at `dpi`, rounded to the nearest pixel.
inline int ScaleToDpi(int length, UINT dpi) { return MulDiv(length, static_cast<int>(dpi), kDesignDpi); }
// Each edge scaled, so that rectangles that meet at 96 DPI meet at every scale.
RECT ScaleToDpi(const RECT& design, UINT dpi);

// The DPI that `window` is laid out for.
UINT WindowDpi(HWND window);
// The outer size of a window with `style` and `exStyle` (no menu) whose client area is
// `clientWidth` x `clientHeight` at `dpi`: caption and frame as that DPI draws them.
SIZE WindowSizeForClient(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, UINT dpi);
// A dialog that lays itself out for a new DPI: the dialog manager must not also resize it, move
// its controls or change their fonts.
void LeaveDpiChangesToDialog(HWND dialog);
