// The background slideshow: the server's description lists pictures with a display time each;
// they are fetched one after another on slideDownloader and shown as the window's background.
//
// Threads: the download callbacks run on slideDownloader's worker and only take the body out of
// the downloader and hand it to the window's thread (a ByteHandOver, then a posted message).
// Reading the description, `slides`, `background`, timer 1 and every start of a picture download
// belong to the window's thread. So `slides` is never touched by two threads, a paint never meets
// a picture being replaced, the timer is armed by the thread that owns the window, and a
// picture's display time runs from the moment it is shown.
#include "app/InstallerDialog.h"

#include <climits>
#include <new>
#include <utility>

namespace {
constexpr UINT_PTR kSlideTimer = 1;
// A description lists a few pictures, a line each: 64 KiB holds hundreds.
constexpr uint32_t kDescriptionMaxBytes = 64 * 1024;
// A picture for a window of a few hundred pixels, even a large photograph, is far smaller.
constexpr uint32_t kPictureMaxBytes = 4 * 1024 * 1024;
}  // namespace

// Nothing the server sends makes the slideshow hold more than its cap, and no picture is
// fetched twice: the slideshow is decoration, not worth a retry.
DownloadPolicy InstallerDialog::SlidePolicy(uint32_t maxBytes) {
    DownloadPolicy policy;
    policy.silenceMs = silenceMs;
    policy.maxBytes = maxBytes;
    policy.attempts = 1;
    policy.proxyPrompt = &proxyCredentials;
    return policy;
}

void InstallerDialog::StartSlideshow(const std::string& descriptionUrl) {
    // A download or callback still under way keeps the callback it has: a picture's body must
    // never be read as a description.
    if (slideshowStopped || slideDownloader.busy || slideDownloader.IsCallbackRunning()) return;
    slideDownloader.SetCallback(OnSlideshowDescriptionEvent, this);
    slideDownloader.DownloadToMemory(descriptionUrl, true, SlidePolicy(kDescriptionMaxBytes));
}

// A failed description or picture download ends the slideshow where it stands: nothing is
// handed over, no timer is armed, and the failed picture stays at the front of `slides`.
int InstallerDialog::OnSlideshowDescriptionEvent(Downloader* downloader, void* context) noexcept {
    if (downloader->status == DownloadEvent::Done) {
        auto* dialog = static_cast<InstallerDialog*>(context);
        dialog->HandToWindow(*downloader, dialog->slideshowText, WM_SLIDESHOW_DESCRIPTION);
    }
    return 1;
}

int InstallerDialog::OnSlidePictureEvent(Downloader* downloader, void* context) noexcept {
    if (downloader->status == DownloadEvent::Done) {
        auto* dialog = static_cast<InstallerDialog*>(context);
        dialog->HandToWindow(*downloader, dialog->slidePicture, WM_SLIDESHOW_PICTURE);
    }
    return 1;
}

// On the worker, inside the final callback (the downloader is no longer busy). The body moves
// out rather than being copied, and nothing here can throw. Once the message is posted this
// thread touches nothing of the slideshow again. A message that cannot be posted leaves its
// block in the hand-over, freed with the dialog.
void InstallerDialog::HandToWindow(Downloader& downloader, ByteHandOver& handOver, UINT message) noexcept {
    std::string bytes = std::move(downloader.buffer);
    // Below the buffer's size, so it fits in size_t.
    if (bytes.size() > downloader.received) bytes.resize(static_cast<size_t>(downloader.received.load()));
    downloader.ClearResult();
    if (handOver.Put(std::move(bytes))) PostMessage(message);
}

// Once the window has gone for good, the slideshow fetches and decodes nothing more. A body
// already handed over is dropped with the dialog; a callback still running finds none to call.
void InstallerDialog::StopSlideshow() {
    slideshowStopped = true;
    if (slideTimerId != 0) {
        KillTimer(slideTimerId);
        slideTimerId = 0;
    }
    slideDownloader.SetCallback(nullptr, nullptr);
    slideDownloader.Stop();
}

void InstallerDialog::OnSlideshowDescriptionArrived() {
    std::string text;
    if (!slideshowStopped && slideshowText.Take(text)) ParseSlideshow(text);
}

// Appends the description's slides and fetches the first; it stays at the front of `slides`
// until it is shown.
void InstallerDialog::ParseSlideshow(const std::string& text) {
    try {
        slides.splice(slides.end(), ::ParseSlideshow(text));
    } catch (const std::bad_alloc&) {
        return;  // no memory to read it: no slideshow, as with a failed description
    }
    if (slides.empty()) return;  // the start-up picture stays
    slideDownloader.SetCallback(OnSlidePictureEvent, this);
    slideDownloader.DownloadToMemory(slides.front().url, true, SlidePolicy(kPictureMaxBytes));
}

// The picture is shown, whether or not it decodes (one that does not leaves the fill colour
// until the next), and its display time starts now.
void InstallerDialog::OnSlidePictureArrived() {
    std::string bytes;
    if (slideshowStopped || !slidePicture.Take(bytes)) return;
    // A body past int's range cannot be a picture this process could hold: it counts as none.
    int size = bytes.size() <= INT_MAX ? static_cast<int>(bytes.size()) : 0;
    background.LoadFromMemory(bytes.data(), size);
    InvalidateRect(nullptr, TRUE);
    if (slides.empty()) return;
    int32_t seconds = slides.front().seconds;
    slides.pop_front();
    slideTimerId = static_cast<UINT>(SetTimer(kSlideTimer, DisplayMilliseconds(seconds)));
}

// The next picture is fetched when the shown one's time is up. Once the list is empty the last
// picture stays and later ticks change nothing. Only a tick while a picture's time runs counts:
// a stray WM_TIMER between a picture's arrival and its display would fetch the same picture
// again and skip the next one.
void InstallerDialog::OnTimer(UINT) {
    if (!slideshowStopped && slideTimerId != 0 && !slides.empty() && !slideDownloader.busy) {
        slideDownloader.DownloadToMemory(slides.front().url, true, SlidePolicy(kPictureMaxBytes));
        KillTimer(slideTimerId);
        slideTimerId = 0;
    }
    Default();
}
