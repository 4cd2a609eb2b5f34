#include "controls/Picture.h"

#include "controls/PictureHeader.h"

#include <ole2.h>
#include <olectl.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

struct FreeGlobal {
    void operator()(HGLOBAL block) const { GlobalFree(block); }
};
using UniqueGlobal = Unique<HGLOBAL, FreeGlobal>;
using UniqueStream = Unique<IStream*, ReleaseInterface>;

// A movable block holding a copy of the bytes, or none when the system cannot give the memory
// (then nothing is copied).
UniqueGlobal CopyToGlobal(const void* data, int size) {
    UniqueGlobal block(GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(size)));
    if (!block) return {};
    void* target = GlobalLock(block.get());
    if (!target) return {};
    std::memcpy(target, data, static_cast<size_t>(size));
    GlobalUnlock(block.get());
    return block;
}

}  // namespace

int HimetricToPixels(long himetric, int pixelsPerInch) {
    return MulDiv(himetric, pixelsPerInch, 2540);
}

bool ReadResourceBytes(LPCSTR name, LPCSTR type, void* buffer, int* size) {
    if (!size) return false;
    HRSRC found = FindResourceA(nullptr, name, type);
    if (!found) return false;
    HGLOBAL loaded = LoadResource(nullptr, found);
    if (!loaded) return false;
    const void* bytes = LockResource(loaded);
    if (!bytes) return false;
    DWORD length = SizeofResource(nullptr, found);
    if (!buffer) {
        *size = static_cast<int>(length);
        return true;
    }
    if (*size < 0 || static_cast<DWORD>(*size) < length) return false;
    std::memcpy(buffer, bytes, length);
    return true;
}

bool Picture::LoadFromResource(LPCSTR type, LPCSTR name) {
    int size = 0;
    if (!ReadResourceBytes(name, type, nullptr, &size) || size <= 0) {
        Free();
        return false;
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer || !ReadResourceBytes(name, type, buffer.get(), &size)) {
        Free();
        return false;
    }
    return LoadFromMemory(buffer.get(), size);
}

bool Picture::LoadFromMemory(const void* data, int size) {
    if (!data || size <= 0) {
        Free();  // no bytes are no picture
        return false;
    }
    UniqueGlobal block = CopyToGlobal(data, size);
    if (!block) return false;
    // Nor is one whose header announces more pixels than the bound: it is never decoded.
    if (!PictureMayBeDecoded(data, static_cast<size_t>(size))) {
        Free();
        return false;
    }
    UniqueStream stream;
    if (FAILED(CreateStreamOnHGlobal(block.get(), TRUE, stream.put()))) return false;
    block.release();  // the stream frees it when it goes

    // The loader has read all it needs when it returns: the stream can go after it.
    UniquePicture loaded;
    HRESULT result = OleLoadPicture(stream.get(), size, FALSE, IID_IPicture,
                                    reinterpret_cast<void**>(loaded.put()));
    if (result != S_OK || !loaded) {
        Free();
        return false;
    }
    picture = std::move(loaded);
    return true;
}

CSize Picture::GetSize(CDC* dc) const {
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    if (!picture || !dc || picture.get()->get_Width(&width) != S_OK ||
        picture.get()->get_Height(&height) != S_OK)
        return CSize();
    return CSize(HimetricToPixels(width, dc->GetDeviceCaps(LOGPIXELSX)),
                 HimetricToPixels(height, dc->GetDeviceCaps(LOGPIXELSY)));
}

CSize Picture::GetPixelSize() const {
    if (!picture) return CSize();
    SHORT type = PICTYPE_UNINITIALIZED;
    OLE_HANDLE handle = 0;
    BITMAP bitmap{};
    if (picture.get()->get_Type(&type) == S_OK && type == PICTYPE_BITMAP &&
        picture.get()->get_Handle(&handle) == S_OK && handle &&
        GetObjectA(reinterpret_cast<HGDIOBJ>(static_cast<UINT_PTR>(handle)), sizeof(bitmap), &bitmap) ==
            sizeof(bitmap))
        return CSize(bitmap.bmWidth, bitmap.bmHeight < 0 ? -bitmap.bmHeight : bitmap.bmHeight);
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    if (picture.get()->get_Width(&width) != S_OK || picture.get()->get_Height(&height) != S_OK) return CSize();
    return CSize(HimetricToPixels(width, 96), HimetricToPixels(height, 96));
}

bool Picture::Draw(CDC* dc) const {
    if (!picture || !dc) return false;
    CSize size = GetSize(dc);
    return DrawScaled(dc, 0, 0, size.cx, size.cy);
}

bool Picture::DrawScaled(CDC* dc, int x, int y, int cx, int cy) const {
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    if (!picture || !dc || picture.get()->get_Width(&width) != S_OK ||
        picture.get()->get_Height(&height) != S_OK)
        return false;
    // Halftone stretching averages the source pixels under each target pixel: smooth edges at
    // any scale. At the picture's own size the plain copy is kept.
    HDC target = dc->GetSafeHdc();
    CSize own = GetPixelSize();
    bool resample = cx != own.cx || cy != own.cy;
    int oldMode = resample ? SetStretchBltMode(target, HALFTONE) : 0;
    POINT oldOrigin{};
    if (resample) SetBrushOrgEx(target, 0, 0, &oldOrigin);  // as halftoning requires after the mode
    // The source is given from the picture's bottom edge with a negative height: HIMETRIC runs
    // upwards, and this is what draws the picture upright.
    bool drawn = picture.get()->Render(target, x, y, cx, cy, 0, height, width, -height, nullptr) == S_OK;
    if (resample) {
        SetBrushOrgEx(target, oldOrigin.x, oldOrigin.y, nullptr);
        if (oldMode) SetStretchBltMode(target, oldMode);
    }
    return drawn;
}
