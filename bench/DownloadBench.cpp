// download_bench URL TARGET [ROUNDS]
// Fetches URL ROUNDS times (default 5) each way, interleaved so that both ways see the same
// machine: (a) Downloader into the file TARGET; (b) a bare WinINet loop with the same session,
// flags and 4096-byte reads that keeps nothing, the ceiling of this design on this platform.
// Prints each round, the median and best throughput of each way, the median of the per-round
// ratios, the median time from the Downloader's last byte to its Done (what it does with the
// complete file before handing it over), and the process's peak working set.
#include "bench/BenchClock.h"
#include "framework/Handles.h"
#include "services/Downloader.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

struct Run {
    bool ok;
    double bytes;
    double seconds;
    double lastByteToDone;
};

struct Watch {
    HANDLE finished;
    double lastByte;
    double done;
};

int SignalFinal(Downloader* downloader, void* context) {
    Watch* watch = static_cast<Watch*>(context);
    const DownloadEvent status = downloader->status;
    if (status == DownloadEvent::InProgress && watch->lastByte == 0 && downloader->totalSize != 0 &&
        downloader->received == downloader->totalSize)
        watch->lastByte = Seconds();
    if (status == DownloadEvent::Done || status == DownloadEvent::Failed) {
        watch->done = Seconds();
        SetEvent(watch->finished);
    }
    return 1;
}

// A file name from the command line, in the system's code page.
std::wstring Widen(const char* text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
    wide.resize(wide.size() - 1);
    return wide;
}

Run WithDownloader(const std::string& url, const std::wstring& target) {
    // The installer writes a file that is not there yet; truncating the last round's 64 MiB
    // would be timed too.
    DeleteFileW(target.c_str());
    UniqueHandle finished(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Watch watch{finished.get(), 0, 0};
    Downloader downloader(SignalFinal, &watch);
    double start = Seconds();
    if (!downloader.DownloadToFile(url, target, true)) return {false, 0, 0, 0};
    WaitForSingleObject(finished.get(), INFINITE);
    double seconds = watch.done - start;
    // Let the worker leave its last callback before the object goes.
    while (downloader.busy || downloader.IsCallbackRunning()) Sleep(1);
    return {downloader.status == DownloadEvent::Done && watch.lastByte != 0, static_cast<double>(downloader.received),
            seconds, watch.done - watch.lastByte};
}

Run BareReadLoop(const std::string& url) {
    double start = Seconds();
    UniqueInternet session(InternetOpenA("QVT", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    UniqueInternet request(InternetOpenUrlA(session.get(), url.c_str(), nullptr, 0,
                                            INTERNET_FLAG_RELOAD | INTERNET_FLAG_TRANSFER_BINARY, 1));
    if (!request) return {false, 0, 0, 0};
    DWORD length = 0, size = sizeof(length);
    if (!HttpQueryInfoA(request.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size, nullptr))
        return {false, 0, 0, 0};
    char chunk[4096];
    double total = 0;
    DWORD count = 0;
    while (InternetReadFile(request.get(), chunk, sizeof(chunk), &count) && count > 0) total += count;
    return {total == length, total, Seconds() - start, 0};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: download_bench URL TARGET [ROUNDS]\n");
        return 2;
    }
    const std::string url = argv[1];
    const std::wstring target = Widen(argv[2]);
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    std::vector<double> downloader, bare, ratios, lastByteToDone;
    double bytes = 0;
    for (int round = 0; round < rounds; ++round) {
        // Alternating which goes first, so that neither always follows the other's clean-up.
        Run a, b;
        if (round % 2 == 0) {
            a = WithDownloader(url, target);
            b = BareReadLoop(url);
        } else {
            b = BareReadLoop(url);
            a = WithDownloader(url, target);
        }
        if (!a.ok || !b.ok || a.bytes != b.bytes) {
            std::fprintf(stderr, "round %d: a download did not complete (downloader %d, bare %d)\n", round, a.ok, b.ok);
            return 1;
        }
        bytes = a.bytes;
        downloader.push_back(a.bytes / kMiB / a.seconds);
        bare.push_back(b.bytes / kMiB / b.seconds);
        ratios.push_back(downloader.back() / bare.back());
        lastByteToDone.push_back(a.lastByteToDone * 1000.0);
        std::printf("round %d: downloader %.1f MiB/s, bare read loop %.1f MiB/s\n", round, downloader.back(), bare.back());
    }
    DeleteFileW(target.c_str());
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    std::printf("bytes %.0f\n", bytes);
    std::printf("downloader_mib_s %.1f\n", Median(downloader));
    std::printf("bare_wininet_mib_s %.1f\n", Median(bare));
    std::printf("downloader_best_mib_s %.1f\n", *std::max_element(downloader.begin(), downloader.end()));
    std::printf("bare_wininet_best_mib_s %.1f\n", *std::max_element(bare.begin(), bare.end()));
    // Each round's pair ran back to back, so their ratio shares that moment's load.
    std::printf("paired_ratio_median %.2f\n", Median(ratios));
    std::printf("last_byte_to_done_ms %.1f\n", Median(lastByteToDone));
    std::printf("peak_working_set_bytes %lu\n", static_cast<unsigned long>(memory.PeakWorkingSetSize));
    return 0;
}
