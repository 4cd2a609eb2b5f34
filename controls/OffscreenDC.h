#pragma once
// A drawing context for one paint: everything drawn into it is composed in a bitmap of the
// target's clip-box size and copied to the target with one BitBlt when it goes away, so the
// screen never shows a half-drawn control. Printer and metafile targets are drawn on directly:
// there a bitmap copy would lose resolution or not be recorded at all. Drawing also goes to the
// target directly when the bitmap cannot be made (no memory, empty clip box).
#include "framework/Gdi.h"
#include "framework/Handles.h"

class OffscreenDC : public CDC {
public:
    // The caller draws with the target's logical coordinates.
    explicit OffscreenDC(CDC* target);
    ~OffscreenDC() override;

    BOOL IsOffscreen() const { return offscreen; }

private:
    UniqueGdiObject offscreenBitmap;
    HGDIOBJ previousBitmap = nullptr;
    CDC* target;
    CRect area;
    BOOL offscreen = FALSE;
    UniqueMemoryDC memoryDC;
};
