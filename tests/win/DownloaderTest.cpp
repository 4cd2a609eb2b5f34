// The downloader through the real WinINet against the test HTTP server on loopback
// (tests/server/test_server.py, started beside this program by with_server.py). Bodies follow a
// pattern with every byte value in it, so the bytes that arrive can be checked exactly.
#include "services/Downloader.h"
#include "services/KeptDownload.h"
#include "services/ProxyPrompt.h"

#include "framework/Handles.h"

#include <gtest/gtest.h>

#include "TestFolder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

// A guard against hangs, not a timing check.
constexpr auto kHangGuard = std::chrono::seconds(20);
constexpr DWORD kHangGuardMs = 20000;
constexpr uint32_t kChunk = 4096;

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string ServerUrl(const std::string& pathAndQuery) {
    return "http://127.0.0.1:" + EnvironmentValue("PELLMORROW_TEST_PORT") + pathAndQuery;
}

// The server's body pattern: byte i is 31*i + 7*(i >> 8) + 3*(i >> 16) + seed, modulo 256.
std::string Pattern(uint32_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((31 * i + 7 * (i >> 8) + 3 * (i >> 16) + seed) & 0xFF);
    return bytes;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string FileBytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream(std::filesystem::path(path), std::ios::binary | std::ios::trunc) << bytes;
}

bool IsFinal(DownloadEvent event) { return event == DownloadEvent::Failed || event == DownloadEvent::Done; }

struct Seen {
    DownloadEvent status;
    uint64_t received;
    uint64_t totalSize;
    DWORD thread;
};

// Records every event as the callback sees it, on the worker thread, and lets the test thread
// wait for final events.
class Recorder {
public:
    // Runs inside the callback, after the event is recorded.
    std::function<void(Downloader&, const Seen&)> hook;

    void Attach(Downloader& downloader) { downloader.SetCallback(&Recorder::Callback, this); }

    bool WaitForFinals(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kHangGuard, [&] { return finals >= count; });
    }
    std::vector<Seen> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

private:
    static int Callback(Downloader* downloader, void* context) {
        static_cast<Recorder*>(context)->OnEvent(*downloader);
        return 1;
    }
    void OnEvent(Downloader& downloader) {
        Seen seen{downloader.status, downloader.received, downloader.totalSize, GetCurrentThreadId()};
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(seen);
        }
        if (hook) hook(downloader, seen);
        if (IsFinal(seen.status)) {
            std::lock_guard<std::mutex> lock(mutex);
            ++finals;
            changed.notify_all();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Seen> events;
    size_t finals = 0;
};

template <typename Condition>
bool WaitUntil(Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        Sleep(1);
    }
    return true;
}

// The worker is finished with the object: the way an owner learns it may let go of it.
bool WorkerGone(const Downloader& downloader) {
    return WaitUntil([&] { return !downloader.busy && !downloader.IsCallbackRunning(); });
}

bool RunToEnd(Downloader& downloader, Recorder& recorder, size_t finals = 1) {
    return recorder.WaitForFinals(finals) && WorkerGone(downloader);
}

// Connecting; then, if the response was accepted, InProgress events whose counts only grow, by
// at most one read each; then exactly one final event.
void ExpectWellFormed(const std::vector<Seen>& events, DownloadEvent outcome, bool accepted) {
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().status, DownloadEvent::Connecting);
    EXPECT_EQ(events.back().status, outcome);
    if (!accepted) {
        EXPECT_EQ(events.size(), 2u) << "a refused response raises no InProgress";
        return;
    }
    ASSERT_GE(events.size(), 3u);
    uint32_t previous = 0;
    for (size_t i = 1; i + 1 < events.size(); ++i) {
        EXPECT_EQ(events[i].status, DownloadEvent::InProgress) << "event " << i;
        EXPECT_GE(events[i].received, previous) << "event " << i;
        if (i > 1) {
            EXPECT_GT(events[i].received, previous) << "a chunk event without bytes, event " << i;
            EXPECT_LE(events[i].received - previous, kChunk) << "event " << i;
        }
        previous = events[i].received;
    }
    EXPECT_EQ(events[1].received, 0u) << "the first InProgress accepts the response, before any read";
    for (const Seen& seen : events) EXPECT_EQ(seen.thread, events.front().thread);
}

class DownloaderTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(EnvironmentValue("PELLMORROW_TEST_PORT").empty())
            << "run through tests/server/with_server.py, which starts the test server";
    }
    void TearDown() override {
        for (const std::wstring& path : targets) DeleteFileW(path.c_str());
    }
    // A fresh path in the temporary directory, removed again after the test.
    std::wstring Target(const std::string& name) {
        wchar_t dir[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        std::wstring path = std::wstring(dir) + L"pellmorrow-dl-" + std::wstring(name.begin(), name.end());
        DeleteFileW(path.c_str());
        targets.push_back(path);
        return path;
    }

private:
    std::vector<std::wstring> targets;
};

// One download from start to final event: the events, what is left on disk or in memory.
struct Case {
    const char* name;
    // A path on the test server, or a whole URL in which {port} and {closed} are replaced.
    const char* where;
    bool toFile;
    bool querySize;
    DownloadEvent outcome;
    bool accepted;      // the status passed the check: InProgress follows Connecting
    uint32_t received;  // bytes that arrive: the body of a Done download
    uint32_t seed;
    FailureReason reason;  // why a Failed download failed
};

std::string CaseUrl(const Case& c) {
    std::string url = c.where[0] == '/' ? ServerUrl(c.where) : c.where;
    for (auto [key, value] : {std::pair<std::string, std::string>{"{port}", EnvironmentValue("PELLMORROW_TEST_PORT")},
                              {"{closed}", EnvironmentValue("PELLMORROW_TEST_CLOSED_PORT")}})
        for (size_t at; (at = url.find(key)) != std::string::npos;) url.replace(at, key.size(), value);
    return url;
}

constexpr DownloadEvent kDone = DownloadEvent::Done;
constexpr DownloadEvent kFailed = DownloadEvent::Failed;

const Case kCases[] = {
    {"BodyOfSeveralWriteBlocksToFile", "/body?size=150001&seed=1", true, true, kDone, true, 150001, 1, FailureReason::None},
    {"BinaryBodyToMemoryKeepsNulBytes", "/body?size=70001&seed=2", false, true, kDone, true, 70001, 2, FailureReason::None},
    {"BodyOfExactlyOneChunk", "/body?size=4096&seed=3", false, true, kDone, true, 4096, 3, FailureReason::None},
    {"OneByteBody", "/body?size=1&seed=4", true, true, kDone, true, 1, 4, FailureReason::None},
    {"Status299IsAccepted", "/body?size=300&seed=5&status=299", true, true, kDone, true, 300, 5, FailureReason::None},
    // Followed, also before the DLLs that a redirect may need are loaded (services/SystemDlls.h).
    {"RedirectIsFollowed", "/moved?to=/body%3Fsize%3D5000%26seed%3D21", true, true, kDone, true, 5000, 21, FailureReason::None},
    {"TemporaryRedirectIsFollowed", "/moved?status=307&to=/body%3Fsize%3D700%26seed%3D22", false, true, kDone, true, 700, 22,
     FailureReason::None},
    {"UpperCaseSchemeIsAWebUrl", "HTTP://127.0.0.1:{port}/body?size=100&seed=6", false, true, kDone, true, 100, 6, FailureReason::None},
    {"NoLengthNeededWithoutQuerySize", "/body?size=9000&seed=7&fault=nolength", true, false, kDone, true, 9000, 7, FailureReason::None},
    {"Status204HasNoBody", "/body?size=100&status=204", true, true, kFailed, true, 0, 0, FailureReason::NoLength},
    {"EmptyBodyToFile", "/body?size=0", true, true, kFailed, true, 0, 0, FailureReason::WrongLength},
    {"EmptyBodyToMemory", "/body?size=0", false, true, kFailed, true, 0, 0, FailureReason::WrongLength},
    {"NoContentLength", "/body?size=5000&fault=nolength", true, true, kFailed, true, 0, 0, FailureReason::NoLength},
    {"BodyShorterThanDeclared", "/body?size=20000&fault=short&cut=10000", true, true, kFailed, true, 10000, 0, FailureReason::WrongLength},
    {"ResetMidFile", "/body?size=50000&fault=reset&cut=24576", true, true, kFailed, true, 24576, 0, FailureReason::Network},
    {"ResetMidMemory", "/body?size=50000&fault=reset&cut=24576", false, true, kFailed, true, 24576, 0, FailureReason::Network},
    {"Status199", "/body?size=100&status=199", true, true, kFailed, false, 0, 0, FailureReason::HttpStatus},
    {"Status300", "/body?size=100&status=300", true, true, kFailed, false, 0, 0, FailureReason::HttpStatus},
    {"Status304", "/body?size=100&status=304", true, true, kFailed, false, 0, 0, FailureReason::HttpStatus},
    {"Status404", "/body?size=100&status=404", true, true, kFailed, false, 0, 0, FailureReason::HttpStatus},
    {"Status500", "/body?size=100&status=500", false, true, kFailed, false, 0, 0, FailureReason::HttpStatus},
    {"ClosedPort", "http://127.0.0.1:{closed}/body?size=100", true, true, kFailed, false, 0, 0, FailureReason::Network},
    {"FtpUrl", "ftp://127.0.0.1:{port}/body?size=100", true, true, kFailed, false, 0, 0, FailureReason::BadUrl},
    {"FileUrl", "file:///C:/windows/win.ini", false, true, kFailed, false, 0, 0, FailureReason::BadUrl},
    // A part of the body in answer to a request for all of it is not the body.
    {"PartialAnswerToAPlainRequest", "/body?size=5000&status=206", true, true, kFailed, false, 0, 0,
     FailureReason::BadRange},
};

class DownloadOutcomeTest : public DownloaderTest, public testing::WithParamInterface<Case> {};

TEST_P(DownloadOutcomeTest, RaisesItsEventsAndLeavesOnlyACompleteBody) {
    const Case& c = GetParam();
    std::wstring target = c.toFile ? Target(std::string(c.name) + ".bin") : std::wstring();
    Downloader downloader;
    Recorder recorder;
    // The owner uses a downloaded file inside the Done callback: it must be whole and closed.
    std::string fileAtDone;
    recorder.hook = [&](Downloader&, const Seen& seen) {
        if (seen.status == kDone && c.toFile) fileAtDone = FileBytes(target);
    };
    recorder.Attach(downloader);

    ASSERT_TRUE(c.toFile ? downloader.DownloadToFile(CaseUrl(c), target, c.querySize)
                         : downloader.DownloadToMemory(CaseUrl(c), c.querySize));
    ASSERT_TRUE(RunToEnd(downloader, recorder));

    std::vector<Seen> events = recorder.Events();
    ExpectWellFormed(events, c.outcome, c.accepted);
    EXPECT_EQ(downloader.status, c.outcome);
    EXPECT_EQ(downloader.targetPath, target);
    EXPECT_EQ(downloader.received, c.received);
    // A connection cut or reset in the middle of a chunk may end the read with an error or with
    // the bytes that did arrive: either way the body was cut.
    const std::string where = c.where;
    if (where.find("fault=reset") != std::string::npos || where.find("fault=short") != std::string::npos) {
        EXPECT_TRUE(downloader.failure.reason == FailureReason::Network ||
                    downloader.failure.reason == FailureReason::WrongLength)
            << FailureName(downloader.failure.reason);
    } else {
        EXPECT_EQ(downloader.failure.reason, c.reason) << FailureName(downloader.failure.reason);
    }
    // The status that was refused, as the server sent it (a 1xx may not be readable at all).
    const char* status = std::strstr(c.where, "status=");
    if (c.reason == FailureReason::HttpStatus && status && std::atoi(status + 7) >= 200) {
        EXPECT_EQ(downloader.failure.detail, static_cast<uint32_t>(std::atoi(status + 7)));
    }
    if (c.outcome == kDone) {
        std::string expected = Pattern(c.received, c.seed);
        EXPECT_EQ(downloader.totalSize, c.querySize ? c.received : 0u);
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events[events.size() - 2].received, c.received) << "the last chunk event shows the whole body";
        if (c.toFile) {
            EXPECT_TRUE(FileBytes(target) == expected) << "the file differs from the body sent";
            EXPECT_TRUE(fileAtDone == expected) << "the file was not complete and readable at Done";
            EXPECT_TRUE(downloader.buffer.empty());
        } else {
            ASSERT_EQ(downloader.buffer.size(), c.received);
            EXPECT_TRUE(downloader.buffer == expected) << "the buffer differs from the body sent";
        }
    } else {
        EXPECT_TRUE(downloader.buffer.empty());
        if (c.toFile) {
            EXPECT_FALSE(FileExists(target)) << "a failed download left " << target;
        }
    }
    EXPECT_FALSE(downloader.busy);
}

INSTANTIATE_TEST_SUITE_P(Responses, DownloadOutcomeTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST_F(DownloaderTest, ExistingTargetIsReplacedWhole) {
    std::wstring target = Target("existing.bin");
    WriteBytes(target, std::string(30000, 'x'));
    Downloader downloader;
    Recorder recorder;
    recorder.Attach(downloader);
    ASSERT_TRUE(downloader.DownloadToFile(ServerUrl("/body?size=5000&seed=8"), target, true));
    ASSERT_TRUE(RunToEnd(downloader, recorder));
    EXPECT_EQ(downloader.status, kDone);
    EXPECT_TRUE(FileBytes(target) == Pattern(5000, 8));
}

TEST_F(DownloaderTest, TargetThatCannotBeOpenedFailsAfterTheResponseAndKeepsAnyOtherFile) {
    struct Blocked {
        const char* name;
        bool lockedByAnother;  // else its directory does not exist
    };
    for (Blocked blocked : {Blocked{"missing directory", false}, Blocked{"locked by another", true}}) {
        SCOPED_TRACE(blocked.name);
        std::wstring target = blocked.lockedByAnother ? Target("locked.bin") : Target("no-such-dir\\x.bin");
        UniqueHandle lock;
        if (blocked.lockedByAnother) {
            WriteBytes(target, "someone else's");
            // Another reader that lets the file be deleted but not written.
            lock = AdoptFileHandle(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(lock);
        }
        Downloader downloader;
        Recorder recorder;
        recorder.Attach(downloader);
        ASSERT_TRUE(downloader.DownloadToFile(ServerUrl("/body?size=5000"), target, true));
        ASSERT_TRUE(RunToEnd(downloader, recorder));

        std::vector<Seen> events = recorder.Events();
        ExpectWellFormed(events, kFailed, true);
        EXPECT_EQ(events.size(), 3u);
        EXPECT_EQ(downloader.received, 0u);
        lock.reset();
        if (blocked.lockedByAnother) {
            EXPECT_EQ(FileBytes(target), "someone else's") << "a file the download never opened was touched";
        } else {
            EXPECT_FALSE(FileExists(target));
        }
    }
}

TEST_F(DownloaderTest, EveryStartReachesTheServerAndSaysQvt) {
    Downloader downloader;
    Recorder recorder;
    recorder.Attach(downloader);
    // The server allows caching for an hour; each start must reach it all the same.
    const std::string path = "/body?size=64&seed=9&maxage=3600";
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(downloader.DownloadToMemory(ServerUrl(path), true));
        ASSERT_TRUE(RunToEnd(downloader, recorder, i + 1));
        EXPECT_EQ(downloader.status, kDone);
    }
    ASSERT_TRUE(downloader.DownloadToMemory(ServerUrl("/__log?path=/body%3Fsize%3D64%26seed%3D9"), false));
    ASSERT_TRUE(RunToEnd(downloader, recorder, 3));
    const std::string& log = downloader.buffer;
    size_t requests = 0;
    for (size_t at = 0; (at = log.find("\"method\": \"GET\"", at)) != std::string::npos; ++at) ++requests;
    EXPECT_EQ(requests, 2u) << log;
    EXPECT_NE(log.find("\"User-Agent\": \"QVT\""), std::string::npos) << log;
}

TEST_F(DownloaderTest, WhileBusyStartsAndClearingAreRefusedAndTheRunningDownloadKeepsItsOwn) {
    std::wstring target = Target("busy.bin"), other = Target("busy-other.bin");
    Downloader downloader;
    Recorder recorder;
    recorder.Attach(downloader);
    EXPECT_FALSE(downloader.Stop()) << "nothing to stop";
    const std::string url = ServerUrl("/body?size=24000&seed=10&fault=slow&piece=4000&delay=25");
    ASSERT_TRUE(downloader.DownloadToFile(url, target, true));

    EXPECT_FALSE(downloader.DownloadToFile(ServerUrl("/body?size=10&seed=11"), other, true));
    EXPECT_FALSE(downloader.DownloadToMemory(ServerUrl("/body?size=10&seed=11"), true));
    EXPECT_FALSE(downloader.ClearResult());
    EXPECT_EQ(downloader.url, url);
    EXPECT_EQ(downloader.targetPath, target);

    ASSERT_TRUE(RunToEnd(downloader, recorder));
    ExpectWellFormed(recorder.Events(), kDone, true);
    EXPECT_TRUE(FileBytes(target) == Pattern(24000, 10));
    EXPECT_FALSE(FileExists(other));
    EXPECT_FALSE(downloader.Stop());

    EXPECT_TRUE(downloader.ClearResult());
    EXPECT_EQ(downloader.status, DownloadEvent::Idle);
    EXPECT_EQ(downloader.received, 0u);
    EXPECT_EQ(downloader.totalSize, 0u);
    EXPECT_TRUE(downloader.targetPath.empty());
    EXPECT_TRUE(FileExists(target)) << "clearing the result is not deleting the download";
}

TEST_F(DownloaderTest, StopDuringTransferEndsAfterTheCurrentChunkAndKeepsNothing) {
    for (bool toFile : {true, false}) {
        SCOPED_TRACE(toFile ? "file" : "memory");
        std::wstring target = toFile ? Target("stopped.bin") : std::wstring();
        Downloader downloader;
        Recorder recorder;
        recorder.Attach(downloader);
        const std::string url = ServerUrl("/body?size=400000&fault=slow&piece=4096&delay=20");
        ASSERT_TRUE(toFile ? downloader.DownloadToFile(url, target, true) : downloader.DownloadToMemory(url, true));
        ASSERT_TRUE(WaitUntil([&] { return downloader.received > 0; }));

        ASSERT_TRUE(downloader.Stop());
        size_t eventsAtStop = recorder.Events().size();
        ASSERT_TRUE(RunToEnd(downloader, recorder));

        std::vector<Seen> events = recorder.Events();
        ExpectWellFormed(events, kFailed, true);
        EXPECT_LE(events.size() - eventsAtStop, 2u) << "at most the chunk being read, then the final event";
        EXPECT_LT(downloader.received, 400000u);
        EXPECT_EQ(downloader.totalSize, 400000u);
        EXPECT_TRUE(downloader.buffer.empty());
        if (toFile) {
            EXPECT_FALSE(FileExists(target));
        }
    }
}

TEST_F(DownloaderTest, NextDownloadStartedFromTheDoneCallbackRunsOnANewThread) {
    Downloader downloader;
    Recorder recorder;
    std::string firstBody;
    bool nextStarted = false;
    recorder.hook = [&](Downloader& d, const Seen& seen) {
        if (seen.status != kDone || !firstBody.empty()) return;
        EXPECT_FALSE(d.busy) << "busy is clear before the final callback";
        firstBody = d.buffer;  // the bytes are taken before the next start releases them
        nextStarted = d.DownloadToMemory(ServerUrl("/body?size=9000&seed=13"), true);
    };
    recorder.Attach(downloader);
    ASSERT_TRUE(downloader.DownloadToMemory(ServerUrl("/body?size=5000&seed=12"), true));
    ASSERT_TRUE(RunToEnd(downloader, recorder, 2));

    EXPECT_TRUE(nextStarted);
    EXPECT_TRUE(firstBody == Pattern(5000, 12));
    EXPECT_TRUE(downloader.buffer == Pattern(9000, 13));
    std::vector<Seen> events = recorder.Events();
    size_t firstEnd = 0;
    while (firstEnd < events.size() && !IsFinal(events[firstEnd].status)) ++firstEnd;
    ASSERT_LT(firstEnd, events.size());
    std::vector<Seen> first(events.begin(), events.begin() + firstEnd + 1), second(events.begin() + firstEnd + 1, events.end());
    ExpectWellFormed(first, kDone, true);
    ExpectWellFormed(second, kDone, true);
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first.front().thread, second.front().thread);
    EXPECT_NE(first.front().thread, GetCurrentThreadId());
}

// The dialog's Cancel: detach, wait until no callback runs, then let go.
TEST_F(DownloaderTest, DetachedCallbackIsNeverCalledAgainOnceNoneIsRunning) {
    UniqueHandle entered(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    Downloader downloader;
    Recorder recorder;
    recorder.hook = [&](Downloader&, const Seen& seen) {
        if (seen.status == DownloadEvent::InProgress && seen.received > 0) {
            SetEvent(entered.get());
            WaitForSingleObject(release.get(), kHangGuardMs);
        }
    };
    recorder.Attach(downloader);
    ASSERT_TRUE(downloader.DownloadToMemory(ServerUrl("/body?size=400000&fault=slow&piece=4096&delay=10"), true));
    ASSERT_EQ(WaitForSingleObject(entered.get(), kHangGuardMs), WAIT_OBJECT_0);

    downloader.SetCallback(nullptr, nullptr);
    EXPECT_TRUE(downloader.IsCallbackRunning()) << "the callback that is blocked still runs";
    size_t eventsAtDetach = recorder.Events().size();
    SetEvent(release.get());
    ASSERT_TRUE(WaitUntil([&] { return !downloader.IsCallbackRunning(); }));
    EXPECT_TRUE(downloader.busy) << "the transfer goes on without a listener";

    ASSERT_TRUE(downloader.Stop());
    ASSERT_TRUE(WorkerGone(downloader));
    EXPECT_EQ(recorder.Events().size(), eventsAtDetach);
    EXPECT_EQ(downloader.status, kFailed);
    EXPECT_TRUE(downloader.buffer.empty());
}

// The ending worker touches nothing of its object once the final callback has returned, so the
// owner may even destroy the object inside that callback.
TEST_F(DownloaderTest, OwnerMayDestroyTheDownloaderInsideItsFinalCallback) {
    struct Owner {
        alignas(Downloader) unsigned char storage[sizeof(Downloader)];
        HANDLE worker = nullptr;
        DownloadEvent outcome = DownloadEvent::Idle;
        UniqueHandle destroyed{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    };
    auto callback = [](Downloader* d, void* context) -> int {
        auto* owner = static_cast<Owner*>(context);
        if (!IsFinal(d->status)) return 1;
        owner->outcome = d->status;
        owner->worker = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
        d->~Downloader();
        std::memset(owner->storage, 0xA5, sizeof(owner->storage));
        SetEvent(owner->destroyed.get());
        return 1;
    };
    Owner owner;
    Downloader* downloader = new (owner.storage) Downloader(callback, &owner);
    ASSERT_TRUE(downloader->DownloadToMemory(ServerUrl("/body?size=20000&seed=14"), true));
    ASSERT_EQ(WaitForSingleObject(owner.destroyed.get(), kHangGuardMs), WAIT_OBJECT_0);
    ASSERT_NE(owner.worker, nullptr);
    UniqueHandle worker(owner.worker);
    ASSERT_EQ(WaitForSingleObject(worker.get(), kHangGuardMs), WAIT_OBJECT_0) << "the worker thread did not end";

    EXPECT_EQ(owner.outcome, kDone);
    for (unsigned char byte : owner.storage) ASSERT_EQ(byte, 0xA5) << "the worker wrote to its destroyed object";
}

// A cap refuses a body by its declared length before any byte is read, and by its bytes when no
// length is declared.
// Stands in for the user: refuses every ask, and counts them.
class RefusingPrompt : public ProxyPrompt {
public:
    unsigned Answers() const override { return 0; }
    Answer Ask(HINTERNET, unsigned&) override {
        ++asks;
        return Answer::Refused;
    }
    std::atomic<int> asks{0};
};

// Only a proxy's challenge is put to the user: the server's own 401 is a refusal like any other
// status. A 407 nobody answers fails at once, never tried again.
TEST_F(DownloaderTest, OnlyAProxyChallengeIsPutToTheUserAndARefusalIsFinal) {
    struct {
        const char* path;
        bool withPrompt;
        FailureReason reason;
        int asks;
    } cases[] = {
        {"/body?size=100&status=401", true, FailureReason::HttpStatus, 0},
        {"/body?size=100&status=407", true, FailureReason::ProxyAuth, 1},
        {"/body?size=100&status=407", false, FailureReason::ProxyAuth, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + (c.withPrompt ? " with a prompt" : " without one"));
        RefusingPrompt prompt;
        DownloadPolicy policy;
        policy.attempts = 3;
        policy.proxyPrompt = c.withPrompt ? &prompt : nullptr;
        Downloader downloader;
        Recorder recorder;
        recorder.Attach(downloader);
        ASSERT_TRUE(downloader.DownloadToMemory(ServerUrl(c.path), true, policy));
        ASSERT_TRUE(RunToEnd(downloader, recorder));
        EXPECT_EQ(downloader.status, kFailed);
        EXPECT_EQ(downloader.failure.reason, c.reason) << FailureName(downloader.failure.reason);
        EXPECT_EQ(prompt.asks, c.asks);
    }
}

TEST_F(DownloaderTest, BodyOverTheCapFails) {
    DownloadPolicy policy;
    policy.maxBytes = 8000;
    struct Case {
        const char* path;
        bool querySize;
        DownloadEvent outcome;
        uint32_t received;  // when Done; at most this when Failed
    } cases[] = {
        {"/body?size=8000&seed=15", true, kDone, 8000},
        {"/body?size=8001&seed=15", true, kFailed, 0},
        {"/body?size=20000&seed=15&fault=nolength", false, kFailed, 8000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Downloader downloader;
        Recorder recorder;
        recorder.Attach(downloader);
        ASSERT_TRUE(downloader.DownloadToMemory(ServerUrl(c.path), c.querySize, policy));
        ASSERT_TRUE(RunToEnd(downloader, recorder));
        EXPECT_EQ(downloader.status, c.outcome);
        if (c.outcome == kDone)
            EXPECT_EQ(downloader.received, c.received);
        else
            EXPECT_LE(downloader.received, c.received) << "bytes taken past the cap";
        EXPECT_EQ(downloader.buffer.size(), c.outcome == kDone ? c.received : 0u);
    }
}

// The server's log of the requests whose query holds key=`key` (one JSON object a request, in
// order, each followed by a line "----"), and the whole log.
bool LoggedRequests(const std::string& key, std::string* log, std::string* mine) {
    Downloader logReader;
    Recorder logRecorder;
    logRecorder.Attach(logReader);
    if (!logReader.DownloadToMemory(ServerUrl("/__log?path=/body"), false) || !RunToEnd(logReader, logRecorder))
        return false;
    *log = logReader.buffer;
    mine->clear();
    for (size_t at = 0; (at = log->find("\"path\": ", at)) != std::string::npos; ++at) {
        size_t next = log->find("\"path\": ", at + 1);
        std::string entry = log->substr(at, next == std::string::npos ? std::string::npos : next - at);
        if (entry.find("key=" + key + "&") != std::string::npos) *mine += entry + "\n----\n";
    }
    return true;
}

// A setup program past 4 GiB: its length, the range of its rest and the counters do not wrap
// at 2^32. The first answer is cut after 300000 bytes; the second must be the rest (a 206 whose
// Content-Range runs to byte 4294967395), taken on from where the bytes end, never from zero.
// Then Stop: the partial file goes. Nothing near 4 GiB is sent, so it runs in a moment: the rest
// comes paced, as Wine's WinINet reads whatever has arrived of a body when its request is closed
// and would otherwise read on for as long as a loopback server keeps up.
TEST_F(DownloaderTest, BodyPast4GiBIsResumedAndCountedIn64Bits) {
    constexpr uint64_t kSize = (uint64_t{1} << 32) + 100;
    std::wstring target = Target("huge.bin");
    DownloadPolicy policy;
    policy.attempts = 2;
    Downloader downloader;
    Recorder recorder;
    recorder.Attach(downloader);
    ASSERT_TRUE(downloader.DownloadToFile(
        ServerUrl("/body?size=" + std::to_string(kSize) +
                  "&seed=23&fault=reset&cut=300000&faulty=1&then=slow&piece=4096&delay=5&key=huge"),
        target,
        true, policy));
    // The first answer brings 300000 bytes at most: past 400000 the rest is arriving.
    ASSERT_TRUE(WaitUntil([&] { return downloader.received > 400000 || !downloader.busy; }));
    ASSERT_TRUE(downloader.Stop()) << FailureName(downloader.failure.reason);
    ASSERT_TRUE(RunToEnd(downloader, recorder));

    std::vector<Seen> events = recorder.Events();
    ExpectWellFormed(events, kFailed, true);
    EXPECT_EQ(downloader.failure.reason, FailureReason::Stopped) << FailureName(downloader.failure.reason);
    EXPECT_EQ(downloader.totalSize, kSize);
    EXPECT_GT(downloader.received, 400000u);
    for (const Seen& seen : events) {
        // The first InProgress accepts the response, before its length is read.
        if (seen.status == DownloadEvent::InProgress && seen.received > 0) {
            EXPECT_EQ(seen.totalSize, kSize);
        }
    }
    EXPECT_FALSE(FileExists(target));
}

// A declared length that no volume here can hold fails as disk-full before the first byte: the
// target is not even created, so a file already at its path stays as it was. Not tried again:
// only the user can make room. (The body comes paced, for Wine's sake: see above.)
TEST_F(DownloaderTest, DeclaredLengthTheVolumeCannotHoldFailsBeforeTheFirstByte) {
    for (uint64_t declared : {uint64_t{1} << 62, UINT64_MAX}) {
        SCOPED_TRACE(declared);
        std::wstring target = Target("no-room.bin");
        WriteBytes(target, "kept");
        DownloadPolicy policy;
        policy.attempts = 3;
        Downloader downloader;
        Recorder recorder;
        recorder.Attach(downloader);
        ASSERT_TRUE(downloader.DownloadToFile(
            ServerUrl("/body?size=" + std::to_string(declared) + "&fault=slow&piece=4096&delay=5"), target, true, policy));
        ASSERT_TRUE(RunToEnd(downloader, recorder));
        ExpectWellFormed(recorder.Events(), kFailed, true);
        EXPECT_EQ(downloader.failure.reason, FailureReason::DiskFull) << FailureName(downloader.failure.reason);
        EXPECT_EQ(downloader.received, 0u);
        EXPECT_EQ(downloader.totalSize, declared);
        EXPECT_EQ(FileBytes(target), "kept");
    }
}

// A failure that may pass is tried again from where the bytes end; the file holds the whole body
// once, whatever the attempts in between. Each part is longer than what the file is written in at
// once, so that bytes reach the file (and its digest) in every attempt.
TEST_F(DownloaderTest, ResumedFileHoldsTheWholeBodyOnce) {
    for (const char* fault : {"reset", "short"}) {
        SCOPED_TRACE(fault);
        std::wstring target = Target("resumed.bin");
        // The server answers every request with the fault but honours ranges: each attempt
        // brings a part, and the third completes the body.
        DownloadPolicy policy;
        policy.attempts = 3;
        Downloader downloader;
        Recorder recorder;
        recorder.Attach(downloader);
        ASSERT_TRUE(downloader.DownloadToFile(
            ServerUrl(std::string("/body?size=800000&seed=16&cut=300000&fault=") + fault), target, true, policy));
        ASSERT_TRUE(RunToEnd(downloader, recorder));
        EXPECT_EQ(downloader.status, kDone);
        EXPECT_EQ(downloader.received, 800000u);
        EXPECT_TRUE(FileBytes(target) == Pattern(800000, 16));
    }
}

// A resumed download asks for the rest only of the file it holds: the request names that file's
// version (its ETag, else its Last-Modified date) in If-Range, and a server whose file changed
// meanwhile sends the new one whole, which replaces what was kept. Without a validator nothing
// is resumed. Each server answer cuts the first request's body, after more than what the file is
// written in at once, so that bytes thrown away have reached the file; later answers are whole.
TEST_F(DownloaderTest, ResumeAsksOnlyForTheRestOfTheSameFile) {
    struct Resume {
        const char* name;
        const char* query;
        const char* ifRange;  // the If-Range of the second request; null: no range asked for
        uint32_t bodySeed;    // the file at the end is this version of the pattern
    } cases[] = {
        {"etag", "validator=etag", "\\\"927c0-927c011\\\"", 17},
        {"last-modified", "validator=lastmod", "GMT", 17},
        {"no validator", "validator=none", nullptr, 17},
        {"changed meanwhile", "validator=etag&changed=1", "\\\"927c0-927c011\\\"", 18},
    };
    int number = 0;
    for (const Resume& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring target = Target("resume.bin");
        const std::string key = "resume" + std::to_string(number++);
        const std::string path = "/body?size=600000&seed=17&fault=reset&cut=300000&faulty=1&key=" + key + "&" + c.query;
        DownloadPolicy policy;
        policy.attempts = 2;
        Downloader downloader;
        Recorder recorder;
        recorder.Attach(downloader);
        ASSERT_TRUE(downloader.DownloadToFile(ServerUrl(path), target, true, policy));
        ASSERT_TRUE(RunToEnd(downloader, recorder));
        EXPECT_EQ(downloader.status, kDone);
        EXPECT_EQ(downloader.received, 600000u);
        EXPECT_TRUE(FileBytes(target) == Pattern(600000, c.bodySeed)) << "the file is not one version whole";

        std::string log, mine;
        ASSERT_TRUE(LoggedRequests(key, &log, &mine));
        size_t second = mine.find("----");
        ASSERT_NE(second, std::string::npos) << log;
        std::string first = mine.substr(0, second), rest = mine.substr(second);
        EXPECT_EQ(first.find("Range"), std::string::npos) << "the first request asked for a range";
        if (c.ifRange) {
            EXPECT_NE(rest.find("\"Range\": \"bytes="), std::string::npos) << mine;
            size_t ifRange = rest.find("\"If-Range\": ");
            ASSERT_NE(ifRange, std::string::npos) << mine;
            EXPECT_NE(rest.substr(ifRange, rest.find('\n', ifRange) - ifRange).find(c.ifRange), std::string::npos)
                << mine;
        } else {
            EXPECT_EQ(rest.find("Range"), std::string::npos) << "resumed without a validator: " << mine;
        }
    }
}

// Where the tests below keep interrupted downloads, and what lies there.
const std::vector<std::wstring> kKeptNames = {L"Downloader Test", L"Interrupted downloads"};
std::wstring KeptRoot() { return TestFolder(L"pellmorrow-kept"); }
std::vector<std::wstring> KeptFiles() {
    std::vector<std::wstring> found;
    const std::wstring folder = KeptRoot() + L"\\Downloader Test\\Interrupted downloads\\";
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) found.push_back(folder + data.cFileName);
    while (FindNextFileW(search, &data));
    FindClose(search);
    return found;
}

// One run's download of `url` into `target` with the place for kept bytes; its final status.
DownloadEvent RunWithKeptPlace(const std::string& url, const std::wstring& target, DownloadPolicy policy,
                               std::function<void(Downloader&, const Seen&)> hook = nullptr) {
    KeptDownload place;
    place.Prepare(KeptRoot(), kKeptNames, url);
    policy.kept = &place;
    Downloader downloader;
    Recorder recorder;
    recorder.hook = std::move(hook);
    recorder.Attach(downloader);
    if (!downloader.DownloadToFile(url, target, true, policy) || !RunToEnd(downloader, recorder)) return DownloadEvent::Idle;
    return downloader.status;
}

// A download whose last attempt fails for a reason that may pass keeps its bytes, and the next
// run's download of the URL reads them once and asks for the rest only of the same file. A file
// changed on the server meanwhile comes whole; kept bytes changed since are not resumed at all.
TEST_F(DownloaderTest, TheNextRunGoesOnFromTheBytesAFailedRunKept) {
    const struct {
        const char* name;
        const char* query;
        bool changeKeptBytes;
        bool askedForTheRest;
        uint32_t seed;  // of the file at the end
    } cases[] = {
        {"the same file", "", false, true, 20},
        {"a file changed on the server", "&changed=1", false, true, 21},
        {"kept bytes changed since", "", true, false, 20},
    };
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::wstring& path : KeptFiles()) DeleteFileW(path.c_str());
        const std::string key = "kept" + std::to_string(number++);
        const std::string url =
            ServerUrl("/body?key=" + key + "&size=600000&seed=20&fault=reset&cut=300000&faulty=1" + c.query);
        DownloadPolicy policy;
        policy.attempts = 1;
        const std::wstring first = Target("kept-first.bin");
        ASSERT_EQ(RunWithKeptPlace(url, first, policy), kFailed);
        EXPECT_FALSE(FileExists(first)) << "the kept bytes were left where they were written";
        ASSERT_EQ(KeptFiles().size(), 2u) << "the bytes and their record";

        if (c.changeKeptBytes) {
            for (const std::wstring& path : KeptFiles()) {
                if (path.size() < 5 || path.substr(path.size() - 5) != L".part") continue;
                UniqueHandle part = AdoptFileHandle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
                DWORD written = 0;
                ASSERT_TRUE(part && SetFilePointer(part.get(), 1000, nullptr, FILE_BEGIN) == 1000 &&
                            WriteFile(part.get(), "X", 1, &written, nullptr));
            }
        }
        const std::wstring second = Target("kept-second.bin");
        ASSERT_EQ(RunWithKeptPlace(url, second, policy), kDone);
        EXPECT_TRUE(FileBytes(second) == Pattern(600000, c.seed)) << "the file is not one version whole";
        EXPECT_TRUE(KeptFiles().empty()) << "something stayed kept after the download completed";

        std::string log, mine;
        ASSERT_TRUE(LoggedRequests(key, &log, &mine));
        const size_t split = mine.find("----");
        ASSERT_NE(split, std::string::npos) << log;
        const std::string rest = mine.substr(split);
        EXPECT_EQ(rest.find("\"Range\": \"bytes=") != std::string::npos, c.askedForTheRest) << mine;
        EXPECT_EQ(rest.find("\"If-Range\": \"\\\"927c0-") != std::string::npos, c.askedForTheRest) << mine;
    }
}

// Only a failure that may pass keeps anything: a stop, or a body that cannot be the file, leave
// nothing, also of bytes an earlier run kept.
TEST_F(DownloaderTest, NothingIsKeptAfterAStopOrARefusal) {
    const std::string url = ServerUrl("/body?size=600000&seed=22&fault=reset&cut=300000&faulty=1&key=stopped");
    DownloadPolicy policy;
    policy.attempts = 1;
    for (const std::wstring& path : KeptFiles()) DeleteFileW(path.c_str());
    ASSERT_EQ(RunWithKeptPlace(url, Target("stopped-first.bin"), policy), kFailed);
    ASSERT_EQ(KeptFiles().size(), 2u);

    // Cancelled as soon as the rest was asked for: the kept bytes are gone with the rest.
    const std::wstring resumed = Target("stopped-second.bin");
    EXPECT_EQ(RunWithKeptPlace(url, resumed, policy,
                               [](Downloader& downloader, const Seen& seen) {
                                   if (seen.status == DownloadEvent::InProgress) downloader.Stop();
                               }),
              kFailed);
    EXPECT_FALSE(FileExists(resumed));
    EXPECT_TRUE(KeptFiles().empty());

    // Stopped in the middle of a first download, and a declared length past the cap.
    DownloadPolicy capped = policy;
    capped.maxBytes = 1000;
    const struct {
        const char* name;
        const char* path;
        DownloadPolicy policy;
    } cases[] = {
        {"stopped", "/body?size=600000&seed=23&fault=slow&piece=8192&delay=5", policy},
        {"too large", "/body?size=600000&seed=23&fault=reset&cut=300000", capped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RunWithKeptPlace(ServerUrl(c.path), Target("refused.bin"), c.policy,
                                   [](Downloader& downloader, const Seen& seen) {
                                       if (seen.received > 0) downloader.Stop();
                                   }),
                  kFailed);
        EXPECT_TRUE(KeptFiles().empty());
    }
}

// The shipped silence bound, against a server that never answers and one that stops sending in
// the middle of the body; the two wait side by side.
TEST(DownloaderSilence, ShippedBoundEndsADownloadThatHearsNothing) {
    ASSERT_FALSE(EnvironmentValue("PELLMORROW_TEST_PORT").empty());
    Downloader silent, stalled;
    DWORD start = GetTickCount();
    ASSERT_TRUE(silent.DownloadToMemory(ServerUrl("/body?size=5000&fault=silent"), true));
    ASSERT_TRUE(stalled.DownloadToMemory(ServerUrl("/body?size=50000&fault=stall&cut=10000"), true));
    DWORD ended[2] = {0, 0};
    Downloader* downloaders[2] = {&silent, &stalled};
    while ((!ended[0] || !ended[1]) && GetTickCount() - start < 3 * kDownloadSilenceMs) {
        for (int i = 0; i < 2; ++i)
            if (!ended[i] && !downloaders[i]->busy) ended[i] = GetTickCount() - start;
        Sleep(50);
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "no answer" : "body stalled");
        ASSERT_NE(ended[i], 0u) << "still waiting after " << 3 * kDownloadSilenceMs << " ms";
        EXPECT_EQ(downloaders[i]->status, kFailed);
        EXPECT_GE(ended[i], kDownloadSilenceMs - 1000) << "failed after " << ended[i] << " ms";
        EXPECT_LE(ended[i], kDownloadSilenceMs + 10000) << "failed after " << ended[i] << " ms";
    }
    EXPECT_GT(stalled.received, 0u);
    EXPECT_LE(stalled.received, 10000u);
}

}  // namespace
