// Sends one of the installer's two requests for any language, built and fetched as the installer
// does it (its URL builder and its downloader): the installer's own start-up only ever asks for
// English, and a publisher's server must answer the other codes too.
//
//   request_fetch HOST setup|slideshow LANG AFFILIATE REMARKS OUT
//
// Writes the body to OUT and prints {"status":N,"received":N,"total":N} (status: the final
// DownloadEvent, 4 when the whole body arrived).
#include "app/RequestUrls.h"
#include "framework/Handles.h"
#include "services/Downloader.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
int SignalFinal(Downloader* downloader, void* context) {
    if (downloader->status == DownloadEvent::Done || downloader->status == DownloadEvent::Failed)
        SetEvent(static_cast<HANDLE>(context));
    return 1;
}
// A file name from the command line (8-bit, the system's code page) as the downloader takes it.
std::wstring FileName(const char* text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: request_fetch HOST setup|slideshow LANG AFFILIATE REMARKS OUT\n");
        return 2;
    }
    RequestValues values{argv[1], static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)), 1, argv[3], argv[5]};
    const std::string kind = argv[2];
    const std::string url = kind == "setup" ? SetupRequestUrl(values) : SlideshowRequestUrl(values);

    UniqueHandle finished(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Downloader downloader(SignalFinal, finished.get());
    if (!downloader.DownloadToFile(url, FileName(argv[6]), true)) return 3;
    // A guard against a hung worker, not a timing check.
    if (WaitForSingleObject(finished.get(), 60000) != WAIT_OBJECT_0) return 4;
    while (downloader.busy || downloader.IsCallbackRunning()) Sleep(1);
    std::printf("{\"status\":%d,\"received\":%lu,\"total\":%lu}\n", static_cast<int>(downloader.status.load()),
                static_cast<unsigned long>(downloader.received), static_cast<unsigned long>(downloader.totalSize));
    return 0;
}
