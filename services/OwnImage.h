#pragma once
// What this program's own headers say, read from its image in memory: the loaded headers are
// the file's.
#include <windows.h>

#include <cstdint>

// The headers; null if they make no sense.
const IMAGE_NT_HEADERS* OwnImageHeaders();

// How much of the program's own file the system has loaded as its image: the headers and every
// section's data. What lies after it (a stamp, a signature) is not part of the image. 0 if the
// headers make no sense.
uint32_t OwnImageFileSize();

// True when the file carries an Authenticode signature (a certificate table).
bool OwnImageIsSigned();
