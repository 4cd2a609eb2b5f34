#pragma once
// Modal dialogs from a template. The dialog procedure keeps the object in DWLP_USER from
// WM_INITDIALOG on and hands every message to the object's WindowProc. A message the handler
// leaves to Default() is answered "not handled" (FALSE), and the dialog manager gives it its
// default handling after the handler has run.
#include "framework/Wnd.h"

class CDataExchange {
public:
    CDataExchange(CWnd* dialog, BOOL saveAndValidate)
        : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

// Binds template control `id` to `control` the first time it is called for that control.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr)
        : templateId_(templateId), parent_(parent) {}

    INT_PTR DoModal();
    BOOL EndDialog(INT_PTR result) { return ::EndDialog(m_hWnd, result); }
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

protected:
    virtual void DoDataExchange(CDataExchange*) {}
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    // IDOK and IDCANCEL become OnOK and OnCancel; returns whether the command was handled.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);

private:
    LRESULT CallDefault(const Message& message) override;
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

    UINT templateId_;
    CWnd* parent_;
};
