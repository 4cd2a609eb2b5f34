#include "services/FileDigest.h"

#include "services/SystemDlls.h"

bool DigestFile(HANDLE file, char* buffer, DWORD bufferSize, const std::atomic<bool>& stop, FileDigest* digest) {
    const HashFunctions* hash = Hashes();
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!hash || hash->BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) return false;
    BCRYPT_HASH_HANDLE state = nullptr;
    const LARGE_INTEGER start{};
    bool whole = hash->BCryptCreateHash(algorithm, &state, nullptr, 0, nullptr, 0, 0) >= 0 &&
                 SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    for (DWORD got = 1; whole && got > 0;)
        whole = !stop && ReadFile(file, buffer, bufferSize, &got, nullptr) &&
                hash->BCryptHashData(state, reinterpret_cast<PUCHAR>(buffer), got, 0) >= 0;
    whole = whole && hash->BCryptFinishHash(state, digest->bytes, sizeof(digest->bytes), 0) >= 0 &&
            SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    if (state) hash->BCryptDestroyHash(state);
    hash->BCryptCloseAlgorithmProvider(algorithm, 0);
    return whole;
}
