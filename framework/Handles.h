#pragma once
// Ownership of Windows handles: every handle belongs to exactly one object and is closed when
// that object goes away or takes another handle.
#include <windows.h>

#include <utility>

template <typename Handle, typename Close>
class Unique {
public:
    Unique() = default;
    explicit Unique(Handle handle) : handle_(handle) {}
    ~Unique() { reset(); }

    Unique(Unique&& other) noexcept : handle_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Handle{}; }

    Handle release() { return std::exchange(handle_, Handle{}); }
    void reset(Handle handle = Handle{}) {
        Handle old = std::exchange(handle_, handle);
        if (old != Handle{}) Close{}(old);
    }
    // For API calls that return a handle through a pointer.
    Handle* put() {
        reset();
        return &handle_;
    }

private:
    Handle handle_{};
};

struct CloseRegKey { void operator()(HKEY key) const { RegCloseKey(key); } };
struct CloseKernelHandle { void operator()(HANDLE handle) const { CloseHandle(handle); } };
struct DeleteGdiObject { void operator()(HGDIOBJ object) const { DeleteObject(object); } };
struct DeleteMemoryDC { void operator()(HDC dc) const { DeleteDC(dc); } };

using UniqueHkey = Unique<HKEY, CloseRegKey>;
// Kernel handles use null for "none"; wrap INVALID_HANDLE_VALUE results with AdoptFileHandle.
using UniqueHandle = Unique<HANDLE, CloseKernelHandle>;
using UniqueGdiObject = Unique<HGDIOBJ, DeleteGdiObject>;
using UniqueMemoryDC = Unique<HDC, DeleteMemoryDC>;

inline UniqueHandle AdoptFileHandle(HANDLE handle) {
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}
