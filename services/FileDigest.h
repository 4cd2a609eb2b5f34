#pragma once
// The SHA-256 of a file's whole content, read through a handle the caller owns: what tells the
// bytes a download wrote from any others that may have been put in their place.
#include <windows.h>

#include <atomic>
#include <cstring>

struct FileDigest {
    unsigned char bytes[32] = {};
    bool operator==(const FileDigest& other) const { return std::memcmp(bytes, other.bytes, sizeof(bytes)) == 0; }
    bool operator!=(const FileDigest& other) const { return !(*this == other); }
};

// Reads `file` from its start to its end through `buffer` (`bufferSize` bytes) and leaves its
// position at the start again. False when it could not be read whole, when the system has no
// SHA-256, or once `stop` reads true (checked between reads).
bool DigestFile(HANDLE file, char* buffer, DWORD bufferSize, const std::atomic<bool>& stop, FileDigest* digest);
