#include "framework/Dialog.h"

#include "framework/WinApp.h"

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
    if (!control.m_hWnd) control.SubclassDlgItem(static_cast<UINT>(id), pDX->m_pDlgWnd);
}

INT_PTR CDialog::DoModal() {
    // Without a parent of its own a dialog belongs to the application's main window, which it
    // disables while it runs, as a box opened from that window should.
    HWND owner = parent_ ? parent_->m_hWnd : nullptr;
    CWnd* main = AfxGetApp() ? AfxGetApp()->m_pMainWnd : nullptr;
    if (!owner && main && main != this) owner = main->m_hWnd;
    return DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(templateId_), owner, DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
    CDataExchange exchange(this, saveAndValidate);
    DoDataExchange(&exchange);
    return TRUE;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (UpdateData(TRUE)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM) {
    if (HIWORD(wParam) != BN_CLICKED) return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        OnOK();
        return TRUE;
    case IDCANCEL:
        OnCancel();
        return TRUE;
    }
    return FALSE;
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        if (OnCommand(wParam, lParam)) return 0;
        break;
    }
    return Default();
}

// Default() for the message being handled only takes note: the dialog procedure then answers
// "not handled" and the dialog manager, which called it, does the rest. Calling DefDlgProc here
// would run the dialog procedure once more for the same message. Any other message (a handler's
// DefWindowProc of its own choosing) gets the window's default handling.
LRESULT CDialog::CallDefault(const Message& message) {
    if (&message == &current_) {
        current_.passedOn = true;
        return 0;
    }
    return ::DefWindowProcA(m_hWnd, message.message, message.wParam, message.lParam);
}

namespace {
// Messages whose dialog-procedure return value is the answer itself, not a handled flag.
bool ReturnsDirectly(UINT message) {
    switch (message) {
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
        return true;
    }
    return IsCtlColorMessage(message);
}
}  // namespace

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    CDialog* self;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->m_hWnd = window;
    } else {
        self = reinterpret_cast<CDialog*>(GetWindowLongPtrA(window, DWLP_USER));
    }
    if (!self) return FALSE;  // the messages before WM_INITDIALOG
    bool passedOn = false;
    LRESULT result = self->Dispatch(message, wParam, lParam, &passedOn);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(window, DWLP_USER, 0);
        self->m_hWnd = nullptr;
    }
    if (passedOn) return FALSE;
    if (ReturnsDirectly(message)) return static_cast<INT_PTR>(result);
    SetWindowLongPtrA(window, DWLP_MSGRESULT, result);
    return TRUE;
}
