#pragma once
// The status display: the dialog's progress control, bound to its own object so that it can paint
// its caption and percentage. Until that drawing is added it paints as the common control.
#include "framework/Controls.h"

class PercentProgressBar : public CProgressCtrl {
};
