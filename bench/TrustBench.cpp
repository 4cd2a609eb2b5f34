// trust_bench FILE [ROUNDS]
// What the installer's checks after the last byte are made of, each on its own, ROUNDS times
// (default 3), on one thread: (a) the platform's verdict on FILE's Authenticode signature
// (WinVerifyTrust, asked by the installer's own code: no UI, no revocation check, through a held
// handle), (b) one SHA-256 pass over FILE with the system's hash (bcrypt), read in the
// installer's blocks, and (c) both at once, the pass on a second thread through a handle of its
// own, as the installer's check runs them. Prints each round and the medians, in ms;
// run_trust_bench.sh sets them beside the installer's own time from the last byte to the setup's
// start.
#include "bench/BenchClock.h"
#include "framework/Handles.h"
#include "services/FileDigest.h"
#include "services/PublisherCheck.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

double Milliseconds() { return 1000.0 * Seconds(); }

// The verdict's code, as the installer's check gets it; 0 when trusted.
LONG VerifySignature(const wchar_t* path, HANDLE file) { return TrustVerdict(path, file).Result(); }

constexpr DWORD kBlock = 256 * 1024;

struct Pass {
    const wchar_t* path;
    bool hashed;
};

DWORD WINAPI HashFile(void* parameter) {
    auto* pass = static_cast<Pass*>(parameter);
    UniqueHandle file = AdoptFileHandle(
        CreateFileW(pass->path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::unique_ptr<char[]> buffer(new char[kBlock]);
    const std::atomic<bool> going{false};
    FileDigest sha;
    pass->hashed = file && DigestFile(file.get(), buffer.get(), kBlock, going, &sha);
    return 0;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
}  // namespace

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2 || argc > 3) {
        std::fputs("usage: trust_bench FILE [ROUNDS]\n", stderr);
        return 2;
    }
    const int rounds = argc == 3 ? std::max(1, _wtoi(argv[2])) : 3;
    if (!Trust()) {
        std::fputs("no signature functions (wintrust.dll, crypt32.dll)\n", stderr);
        return 1;
    }
    UniqueHandle file = AdoptFileHandle(
        CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        std::fprintf(stderr, "cannot open the file: error %lu\n", GetLastError());
        return 1;
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(file.get(), &size);
    std::unique_ptr<char[]> buffer(new char[kBlock]);
    const std::atomic<bool> going{false};
    std::vector<double> signature, digest, both;
    for (int round = 1; round <= rounds; ++round) {
        double start = Milliseconds();
        const LONG verdict = VerifySignature(argv[1], file.get());
        signature.push_back(Milliseconds() - start);
        start = Milliseconds();
        FileDigest sha;
        const bool hashed = DigestFile(file.get(), buffer.get(), kBlock, going, &sha);
        digest.push_back(Milliseconds() - start);
        start = Milliseconds();
        Pass pass{argv[1], false};
        HANDLE thread = CreateThread(nullptr, 0, HashFile, &pass, 0, nullptr);
        const LONG again = VerifySignature(argv[1], file.get());
        if (thread) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        both.push_back(Milliseconds() - start);
        if (verdict != 0 || again != 0 || !hashed || !pass.hashed) {
            std::fprintf(stderr, "round %d: verdict 0x%08lX, digest %s\n", round, static_cast<unsigned long>(verdict),
                         hashed && pass.hashed ? "taken" : "failed");
            return 1;
        }
        std::printf("  round %d: signature check %8.0f ms, SHA-256 pass %8.0f ms, both at once on two threads %8.0f ms\n",
                    round, signature.back(), digest.back(), both.back());
    }
    std::printf("  medians of %d over %.0f MiB: signature check alone %.0f ms, one SHA-256 pass (bcrypt) %.0f ms,"
                " both at once %.0f ms\n",
                rounds, static_cast<double>(size.QuadPart) / (1024.0 * 1024.0), Median(signature), Median(digest),
                Median(both));
    LocalFree(argv);
    return 0;
}
