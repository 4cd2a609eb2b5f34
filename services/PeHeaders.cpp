#include "services/PeHeaders.h"

#include <cstring>

namespace {

// Copies `size` bytes at `offset` of a program into `out`; false when they are not all there.
using ReadAt = bool (*)(const void* program, LONG offset, void* out, DWORD size);

// The start of every program's NT headers, whatever its processor.
struct NtStart {
    DWORD signature;
    IMAGE_FILE_HEADER header;
};

// Where the NT headers start, the DOS header's pointer to them; 0 when the bytes are no Windows
// program's.
LONG FindNtHeaders(ReadAt read, const void* program, NtStart* nt) {
    IMAGE_DOS_HEADER dos;
    if (!read(program, 0, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        !read(program, dos.e_lfanew, nt, sizeof(*nt)) || nt->signature != IMAGE_NT_SIGNATURE)
        return 0;
    return dos.e_lfanew;
}

// The loader mapped the headers whole before the program ran.
bool ReadLoaded(const void* image, LONG offset, void* out, DWORD size) {
    std::memcpy(out, static_cast<const BYTE*>(image) + offset, size);
    return true;
}

bool ReadFromFile(const void* file, LONG offset, void* out, DWORD size) {
    HANDLE handle = const_cast<void*>(file);
    LARGE_INTEGER at{};
    at.QuadPart = offset;
    DWORD got = 0;
    return SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) && ReadFile(handle, out, size, &got, nullptr) &&
           got == size;
}

}  // namespace

const IMAGE_NT_HEADERS* LoadedImageHeaders(HMODULE image) {
    NtStart nt;
    const LONG at = image ? FindNtHeaders(ReadLoaded, image, &nt) : 0;
    return at ? reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const BYTE*>(image) + at) : nullptr;
}

bool ReadFileHeader(HANDLE file, IMAGE_FILE_HEADER* header) {
    NtStart nt;
    if (!FindNtHeaders(ReadFromFile, file, &nt)) return false;
    *header = nt.header;
    return true;
}
