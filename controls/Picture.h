#pragma once
// One picture decoded by the system's OLE picture loader (JPEG, BMP, GIF, ...), drawn into a
// device context at its own size or stretched. The dialog's background is one.
//
// Thread: a Picture is used on the thread that owns the window it is painted in, and only there.
// It takes no lock. A picture downloaded on a worker thread is handed to the window's thread (a
// posted message) and loaded there, so a load can never release a picture that a paint is still
// drawing.
//
// What a holder keeps after a failed load:
// - the bytes are not a picture (garbage, truncated before its image data, none at all), the
//   picture's header announces more pixels than the bound in PictureHeader.h (it is not
//   decoded), or the resource is missing: the holder is empty, the picture held before is
//   released;
// - the system had no memory for the copy or the stream: the held picture is kept.
// A successful load releases the previous picture only after the new one has been decoded.
#include "framework/Gdi.h"

#include <ocidl.h>

struct ReleaseInterface {
    void operator()(IUnknown* object) const { object->Release(); }
};
using UniquePicture = Unique<IPicture*, ReleaseInterface>;

class Picture {
public:
    Picture() = default;
    virtual ~Picture() = default;
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    // A resource of the program's own file; type first, then name ("JPG", MAKEINTRESOURCE(261)).
    bool LoadFromResource(LPCSTR type, LPCSTR name);
    // Copies the bytes; the caller keeps its buffer.
    bool LoadFromMemory(const void* data, int size);
    // Size in device pixels for `dc`'s logical resolution; 0 x 0 when empty.
    CSize GetSize(CDC* dc) const;
    // The whole picture at (0, 0) at the size GetSize reports; false when empty.
    bool Draw(CDC* dc) const;
    // The picture's own pixels whatever the screen's DPI: a bitmap's width and height, else its
    // HIMETRIC size at 96 DPI; 0 x 0 when empty.
    CSize GetPixelSize() const;
    // The whole picture stretched into the rectangle (x, y, cx, cy); false when empty. A bitmap
    // drawn at another size than its own is resampled smoothly, not by dropping or doubling pixels.
    bool DrawScaled(CDC* dc, int x, int y, int cx, int cy) const;
    void Free() { picture.reset(); }

    // Takes over one counted reference, releasing what was held. Lets a test hand the holder a
    // picture whose HIMETRIC size it chooses.
    void Attach(IPicture* newPicture) { picture.reset(newPicture); }

private:
    UniquePicture picture;
};

// Copies a resource of the program's own file; name first, then type. With `buffer` null it
// stores the resource's size in `*size`; otherwise `*size` is the buffer's capacity, and a
// buffer smaller than the resource gets nothing.
bool ReadResourceBytes(LPCSTR name, LPCSTR type, void* buffer, int* size);

// HIMETRIC (2540 to the inch) to pixels at `pixelsPerInch`, rounded to the nearest.
int HimetricToPixels(long himetric, int pixelsPerInch);
