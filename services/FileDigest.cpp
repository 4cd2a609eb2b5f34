#include "services/FileDigest.h"

#include "services/SystemDlls.h"

Sha256::~Sha256() {
    DestroyState();
    if (algorithm) Hashes()->BCryptCloseAlgorithmProvider(algorithm, 0);
}

void Sha256::DestroyState() {
    if (state) Hashes()->BCryptDestroyHash(state);
    state = nullptr;
}

void Sha256::Restart() {
    DestroyState();
    lost = false;
}

// Makes the state for the first bytes since the last Restart.
bool Sha256::Begin() {
    if (lost) return false;
    if (state) return true;
    lost = true;
    const HashFunctions* hash = Hashes();
    if (!hash) return false;
    if (!algorithm && hash->BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) {
        algorithm = nullptr;
        return false;
    }
    if (hash->BCryptCreateHash(algorithm, &state, nullptr, 0, nullptr, 0, 0) < 0) {
        state = nullptr;
        return false;
    }
    lost = false;
    return true;
}

bool Sha256::Add(const void* data, DWORD size) {
    if (!Begin()) return false;
    if (size == 0 || Hashes()->BCryptHashData(state, static_cast<PUCHAR>(const_cast<void*>(data)), size, 0) >= 0)
        return true;
    DestroyState();
    lost = true;
    return false;
}

bool Sha256::Finish(FileDigest* digest) {
    const bool done = Begin() && Hashes()->BCryptFinishHash(state, digest->bytes, sizeof(digest->bytes), 0) >= 0;
    DestroyState();
    lost = true;
    return done;
}

bool Sha256::Peek(FileDigest* digest) {
    BCRYPT_HASH_HANDLE copy = nullptr;
    if (!Begin() || Hashes()->BCryptDuplicateHash(state, &copy, nullptr, 0, 0) < 0) return false;
    const bool done = Hashes()->BCryptFinishHash(copy, digest->bytes, sizeof(digest->bytes), 0) >= 0;
    Hashes()->BCryptDestroyHash(copy);
    return done;
}

bool DigestFile(HANDLE file, char* buffer, DWORD bufferSize, const std::atomic<bool>& stop, FileDigest* digest) {
    Sha256 sha;
    const LARGE_INTEGER start{};
    bool whole = SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    for (DWORD got = 1; whole && got > 0;)
        whole = !stop && ReadFile(file, buffer, bufferSize, &got, nullptr) && sha.Add(buffer, got);
    return whole && sha.Finish(digest) && SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
}
