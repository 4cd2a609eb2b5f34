#pragma once
// Owner-drawn, hover-aware push button in the skin's colours. Until its drawing is added it
// behaves as the plain button it is bound to.
#include "framework/Controls.h"

class SkinButton : public CButton {
};
