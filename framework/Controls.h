#pragma once
// The common controls the program's own controls derive from.
#include "framework/Wnd.h"

#include <commctrl.h>

class CButton : public CWnd {
public:
    // Creates a button child of `parent` and ties it to this object.
    BOOL Create(const char* caption, DWORD style, const RECT& rect, CWnd* parent, UINT id);
};

class CProgressCtrl : public CWnd {};
