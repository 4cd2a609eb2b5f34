#pragma once
// A Windows program's headers, found by one set of checks whether the program is this process's
// own image, loaded by the system, or a file on disk.
#include <windows.h>

// The NT headers of an image the system has loaded; null when its headers make no sense.
const IMAGE_NT_HEADERS* LoadedImageHeaders(HMODULE image);

// The file header (its processor, its sections) of the program in `file`, read from the file's
// start; false when the file cannot be read or is not a Windows program. Moves the file pointer.
bool ReadFileHeader(HANDLE file, IMAGE_FILE_HEADER* header);
