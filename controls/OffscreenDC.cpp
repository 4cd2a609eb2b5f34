#include "controls/OffscreenDC.h"

namespace {

bool DrawsDirectly(HDC dc) {
    int technology = GetDeviceCaps(dc, TECHNOLOGY);
    return technology == DT_RASPRINTER || technology == DT_METAFILE;
}

}  // namespace

OffscreenDC::OffscreenDC(CDC* target) : target(target) {
    m_hDC = target->m_hDC;
    if (DrawsDirectly(m_hDC)) return;
    int clip = GetClipBox(m_hDC, &area);
    if (clip == ERROR || clip == NULLREGION || area.Width() <= 0 || area.Height() <= 0) return;

    UniqueMemoryDC dc(CreateCompatibleDC(m_hDC));
    if (!dc) return;
    UniqueGdiObject bitmap(CreateCompatibleBitmap(m_hDC, area.Width(), area.Height()));
    if (!bitmap) return;
    HGDIOBJ previous = SelectObject(dc.get(), bitmap.get());
    if (!previous || previous == HGDI_ERROR) return;

    previousBitmap = previous;
    offscreenBitmap = std::move(bitmap);
    memoryDC = std::move(dc);
    m_hDC = memoryDC.get();
    SetWindowOrgEx(m_hDC, area.left, area.top, nullptr);
    offscreen = TRUE;
}

OffscreenDC::~OffscreenDC() {
    if (offscreen) {
        BitBlt(target->m_hDC, area.left, area.top, area.Width(), area.Height(), m_hDC, area.left,
               area.top, SRCCOPY);
        SelectObject(m_hDC, previousBitmap);
    }
    // The target's handle is borrowed, never ours to delete; the memory DC and the bitmap go
    // with their owners.
    m_hDC = nullptr;
}
