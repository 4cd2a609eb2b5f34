// What the installer does when one of its delay-loaded DLLs (the common controls, OLE; see
// cmake/windows.cmake), or one of their functions, cannot be had. Windows has always had them,
// but the helper's own answer would be an exception that nothing catches: a crash. Instead each
// such function is bound to a stand-in that fails as the function itself reports failure, and
// the program goes on without what it gives: no pictures without OLE's picture loader, no window
// without the common controls (the dialog cannot be made, and the run ends as a failed one).
#include <windows.h>

#include <commctrl.h>
#include <delayimp.h>
#include <ocidl.h>
#include <olectl.h>
#include <ole2.h>

#include <cstring>

namespace {

BOOL WINAPI NoInitCommonControlsEx(const INITCOMMONCONTROLSEX*) { return FALSE; }
BOOL WINAPI NoSetWindowSubclass(HWND, SUBCLASSPROC, UINT_PTR, DWORD_PTR) { return FALSE; }
LRESULT WINAPI NoDefSubclassProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
BOOL WINAPI NoRemoveWindowSubclass(HWND, SUBCLASSPROC, UINT_PTR) { return FALSE; }
BOOL WINAPI NoGetWindowSubclass(HWND, SUBCLASSPROC, UINT_PTR, DWORD_PTR* data) {
    if (data) *data = 0;
    return FALSE;
}
BOOL WINAPI NoTrackMouseEvent(TRACKMOUSEEVENT*) { return FALSE; }
HRESULT WINAPI NoOleInitialize(void*) { return E_FAIL; }
void WINAPI NoOleUninitialize() {}
HRESULT WINAPI NoCoInitializeEx(void*, DWORD) { return E_FAIL; }
void WINAPI NoCoUninitialize() {}
// Nothing can have been allocated for it to free.
void WINAPI NoCoTaskMemFree(void*) {}
HRESULT WINAPI NoCreateStreamOnHGlobal(HGLOBAL, BOOL, IStream** stream) {
    if (stream) *stream = nullptr;
    return E_FAIL;
}
HRESULT WINAPI NoOleLoadPicture(IStream*, LONG, BOOL, REFIID, void** picture) {
    if (picture) *picture = nullptr;
    return E_FAIL;
}

struct StandIn {
    const char* name;
    FARPROC (*address)();
};

// The stand-in's address as the helper hands it out. The template argument has the type of the
// system's own declaration: a stand-in whose parameters, result or calling convention differ
// (a missing WINAPI, which only the 32-bit program would pay for with a broken stack) does not
// compile.
template <typename Function, Function standIn>
FARPROC AddressOf() {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(standIn));
}

#define STAND_IN(function, standIn) StandIn{#function, AddressOf<decltype(&::function), standIn>}
// Made by the compiler, not at start-up: the helper may ask before any constructor has run.
constexpr StandIn kStandIns[] = {
    STAND_IN(InitCommonControlsEx, NoInitCommonControlsEx),
    STAND_IN(SetWindowSubclass, NoSetWindowSubclass),
    STAND_IN(DefSubclassProc, NoDefSubclassProc),
    STAND_IN(RemoveWindowSubclass, NoRemoveWindowSubclass),
    STAND_IN(GetWindowSubclass, NoGetWindowSubclass),
    STAND_IN(_TrackMouseEvent, NoTrackMouseEvent),
    STAND_IN(OleInitialize, NoOleInitialize),
    STAND_IN(OleUninitialize, NoOleUninitialize),
    STAND_IN(CoInitializeEx, NoCoInitializeEx),
    STAND_IN(CoUninitialize, NoCoUninitialize),
    STAND_IN(CoTaskMemFree, NoCoTaskMemFree),
    STAND_IN(CreateStreamOnHGlobal, NoCreateStreamOnHGlobal),
    STAND_IN(OleLoadPicture, NoOleLoadPicture),
};
#undef STAND_IN

FARPROC StandInFor(const char* name) {
    for (const StandIn& standIn : kStandIns)
        if (std::strcmp(standIn.name, name) == 0) return standIn.address();
    return nullptr;
}

FARPROC WINAPI DelayLoadFailed(unsigned notification, PDelayLoadInfo info) noexcept {
    // A DLL that cannot be loaded: the program's own module in its place, which exports nothing,
    // so that each of its functions comes back here as one that cannot be found.
    if (notification == dliFailLoadLib) return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr));
    if (notification == dliFailGetProc && info && info->dlp.fImportByName && info->dlp.szProcName)
        return StandInFor(info->dlp.szProcName);
    return nullptr;
}

}  // namespace

extern "C" {
PfnDliHook __pfnDliFailureHook2 = DelayLoadFailed;
}
