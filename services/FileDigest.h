#pragma once
// SHA-256 digests (bcrypt's): of bytes as they pass, and of a file's whole content read through a
// handle the caller owns. What tells the bytes a download wrote from any others that may have
// been put in their place.
#include <windows.h>

#include <bcrypt.h>

#include <atomic>
#include <cstring>

struct FileDigest {
    unsigned char bytes[32] = {};
    bool operator==(const FileDigest& other) const { return std::memcmp(bytes, other.bytes, sizeof(bytes)) == 0; }
    bool operator!=(const FileDigest& other) const { return !(*this == other); }
};

// The digest of the bytes added since it was made or last restarted. Once a call has failed (or
// the system has no SHA-256) it stays failed until the next Restart, so that a digest of bytes
// with a gap in them is never taken for the digest of the bytes. bcrypt is first asked for with
// the first bytes (or Finish), not before: a download starts reading before it has loaded.
class Sha256 {
public:
    Sha256() = default;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    ~Sha256();

    // Starts over from no bytes.
    void Restart();
    // False when the bytes could not be taken in: the digest is then lost until the next Restart.
    bool Add(const void* data, DWORD size);
    // The digest of the bytes added; false when there is none. Spent afterwards: Restart before
    // adding again.
    bool Finish(FileDigest* digest);
    // The digest of the bytes added so far, and more may be added afterwards.
    bool Peek(FileDigest* digest);

private:
    bool Begin();
    void DestroyState();

    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE state = nullptr;
    bool lost = false;
};

// Reads `file` from its start to its end through `buffer` (`bufferSize` bytes) and leaves its
// position at the start again. False when it could not be read whole, when the system has no
// SHA-256, or once `stop` reads true (checked between reads).
bool DigestFile(HANDLE file, char* buffer, DWORD bufferSize, const std::atomic<bool>& stop, FileDigest* digest);
