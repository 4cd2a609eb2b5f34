#pragma once
#include "framework/Dialog.h"
#include "resource.h"

class AboutDialog : public CDialog {
public:
    AboutDialog() : CDialog(IDD_ABOUTBOX) {}
};
