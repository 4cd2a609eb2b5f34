#pragma once
// The common controls the program's own controls derive from.
#include "framework/Wnd.h"

#include <commctrl.h>

class CButton : public CWnd {
public:
    // Creates a button child of `parent` and ties it to this object.
    BOOL Create(const char* caption, DWORD style, const RECT& rect, CWnd* parent, UINT id);
    // An owner-drawn button paints itself here when its parent reflects WM_DRAWITEM.
    virtual void DrawItem(LPDRAWITEMSTRUCT) {}

protected:
    bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};

class CProgressCtrl : public CWnd {};

// A tooltip window owned by this object: destroyed with it, forgotten when the system destroys
// it first (with its owner).
class CToolTipCtrl : public CWnd {
public:
    ~CToolTipCtrl() override;
    // A tooltip popup owned by `parent`'s window.
    BOOL Create(CWnd* parent, DWORD style = 0);
    void Activate(BOOL activate) { SendMessage(TTM_ACTIVATE, activate, 0); }
    int SetMaxTipWidth(int width) { return static_cast<int>(SendMessage(TTM_SETMAXTIPWIDTH, 0, width)); }
    void RelayEvent(MSG* message) { SendMessage(TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(message)); }
};
