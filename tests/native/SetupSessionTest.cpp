// The setup download's session against a recording view and a fake of the work done elsewhere
// (downloader, publisher check, hand-over) with a clock the test sets. Each case is a sequence of
// what the user and the workers do; it checks what the window was told, what work was asked for,
// and what is left of the setup program on disk.
#include "app/SetupSession.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

using Stage = SetupSession::Stage;
using CancelStep = SetupSession::CancelStep;

class RecordingView : public SetupView {
public:
    std::vector<std::string> calls;
    void ShowProgress(unsigned percent) override { calls.push_back("progress " + std::to_string(percent)); }
    void ShowCaption(const char* caption) override { calls.push_back(std::string("caption ") + caption); }
    void ShowFailed() override { calls.push_back("failed"); }
    void Hide() override { calls.push_back("hide"); }
    void End() override { calls.push_back("end"); }
};

// The setup program's file as the work leaves it.
enum class File {
    None,      // not there
    Partial,   // being written; the system deletes it if the process ends
    Complete,  // whole and closed: stays on disk unless someone deletes it
    Checked,   // held by the publisher check: nobody can delete it until the check lets go
    Running,   // handed to the setup program, which the hand-over deletes after it ends
};

class FakeWork : public SetupWork {
public:
    std::vector<std::string> calls;
    uint32_t now = 1000;
    bool startFails = false;
    bool stopsInTime = true;
    File file = File::None;

    uint32_t Now() override { return now; }
    bool StartDownload(const std::string& url, const std::wstring&, Failure* failure) override {
        calls.push_back("download " + url);
        if (startFails) {
            *failure = Failure{FailureReason::NoThread, 8};
            return false;
        }
        file = File::Partial;
        return true;
    }
    bool StopDownload() override {
        calls.push_back("stop");
        if (stopsInTime && file == File::Partial) file = File::None;
        return stopsInTime;
    }
    void DeleteProgram(const std::wstring&) override {
        calls.push_back("delete");
        if (file == File::Complete) file = File::None;
    }
    void StartCheck(const std::wstring&) override {
        calls.push_back("check");
        EXPECT_EQ(file, File::Complete);
        file = File::Checked;
    }
    void DiscardProgram(const std::wstring&) override {
        calls.push_back("discard");
        EXPECT_EQ(file, File::Checked);
        file = File::None;
    }
    void StartHandOver(const std::wstring&, const std::string& language, uint32_t seconds) override {
        calls.push_back("hand-over " + language + " " + std::to_string(seconds) + " s");
        EXPECT_EQ(file, File::Checked);
        file = File::Running;
    }
    void SendResult(const RunResult& result, const std::string& language) override {
        const char* outcomes[] = {"installed", "failed", "cancelled"};
        calls.push_back(std::string("result ") + outcomes[static_cast<int>(result.outcome)] +
                        (*result.reason ? std::string(" ") + result.reason : "") + " " + std::to_string(result.seconds) +
                        " s " + language);
    }
};

// One thing that happens, in the order of the case.
struct Step {
    enum Kind {
        Start,       // a language chosen: `text` is the language, the URL is "url-" + language
        Report,      // the download's worker reported status, received, total (and a failure)
        Finish,      // the worker finished the file; its report has not arrived yet
        Checked,     // the check's verdict: the reason named `text` ("" when it may run), detail `number`
        Cancel,      // Cancel pressed and, when asked, answered No
        EndFailed,   // the run ends as a failure for the reason named `text` (no window, no memory)
        Wait,        // the clock moves on by `number` ms
    } kind;
    DownloadEvent status = DownloadEvent::Idle;
    uint64_t received = 0;
    uint64_t total = 0;
    const char* text = "";
    uint32_t number = 0;
};

Step StartFor(const char* language) { return {Step::Start, DownloadEvent::Idle, 0, 0, language}; }
Step Reported(DownloadEvent status, uint64_t received = 0, uint64_t total = 0) {
    return {Step::Report, status, received, total};
}
Step FailedWith(FailureReason reason, uint32_t detail) {
    return {Step::Report, DownloadEvent::Failed, 0, 0, FailureName(reason), detail};
}
Step Finished() { return {Step::Finish}; }
// A signature's verdict: 0 lets the program run.
Step CheckedAs(uint32_t verdict) {
    return {Step::Checked, DownloadEvent::Idle, 0, 0, verdict ? FailureName(FailureReason::Signature) : "", verdict};
}
Step CheckRefused(FailureReason reason) { return {Step::Checked, DownloadEvent::Idle, 0, 0, FailureName(reason)}; }
Step CancelPressed() { return {Step::Cancel}; }
Step EndedAsFailed(FailureReason reason) { return {Step::EndFailed, DownloadEvent::Idle, 0, 0, FailureName(reason)}; }
Step After(uint32_t ms) { return {Step::Wait, DownloadEvent::Idle, 0, 0, "", ms}; }

const DownloadEvent kConnecting = DownloadEvent::Connecting, kInProgress = DownloadEvent::InProgress,
                    kDone = DownloadEvent::Done;

FailureReason ReasonNamed(const std::string& name) {
    for (int value = 0; value <= UINT8_MAX; ++value)
        if (name == FailureName(static_cast<FailureReason>(value))) return static_cast<FailureReason>(value);
    ADD_FAILURE() << "no reason named " << name;
    return FailureReason::None;
}

struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> view;
    std::vector<std::string> work;
    Stage stage;
    File file;
    FailureReason reason = FailureReason::None;
    uint32_t detail = 0;
    // What a Cancel pressed now would do; whether an open question was on screen is the view's.
    CancelStep cancel = CancelStep::Ignore;
    const char* language = "EN";
};

const std::vector<std::string> kDownloadToHalf = {"caption Connecting to server...", "progress 0",
                                                  "caption Download in progress...", "progress 50"};

std::vector<std::string> Then(std::vector<std::string> first, const std::vector<std::string>& more) {
    first.insert(first.end(), more.begin(), more.end());
    return first;
}

std::vector<Case> Cases() {
    const std::vector<Step> toHalf = {StartFor("EN"), Reported(kConnecting), Reported(kInProgress, 0, 200),
                                      After(20), Reported(kInProgress, 100, 200)};
    auto with = [&](std::vector<Step> more) {
        std::vector<Step> steps = toHalf;
        steps.insert(steps.end(), more.begin(), more.end());
        return steps;
    };
    return {
        {"complete run hands over",
         with({Finished(), Reported(kDone, 200, 200), CheckedAs(0)}),
         Then(kDownloadToHalf, {"progress 100", "caption Installing...", "hide"}),
         {"download url-EN", "check", "hand-over EN 0 s"}, Stage::HandOver, File::Running},
        {"positions within a frame are skipped, the last one is not",
         {StartFor("EN"), Reported(kInProgress, 10, 100), After(5), Reported(kInProgress, 20, 100), After(11),
          Reported(kInProgress, 30, 100), After(1), Reported(kInProgress, 40, 100), Finished(),
          Reported(kDone, 100, 100)},
         {"progress 10", "caption Download in progress...", "progress 30", "progress 100"},
         {"download url-EN", "check"}, Stage::Checking, File::Checked, FailureReason::None, 0, CancelStep::Ask},
        {"a retry from zero leaves the bar where it was",
         with({After(20), Reported(kInProgress, 20, 200), After(20), Reported(kInProgress, 120, 200), Finished(),
               Reported(kDone, 200, 200), CheckedAs(0)}),
         Then(kDownloadToHalf, {"progress 60", "progress 100", "caption Installing...", "hide"}),
         {"download url-EN", "check", "hand-over EN 0 s"}, Stage::HandOver, File::Running},
        {"a setup program past 4 GiB shows its share, not its share of the rest of 2^32",
         {StartFor("EN"), Reported(kInProgress, 0, (uint64_t{1} << 32) + 100), After(20),
          Reported(kInProgress, (uint64_t{1} << 31) + 50, (uint64_t{1} << 32) + 100), After(20),
          Reported(kInProgress, uint64_t{1} << 32, (uint64_t{1} << 32) + 100), Finished(),
          Reported(kDone, (uint64_t{1} << 32) + 100, (uint64_t{1} << 32) + 100)},
         {"progress 0", "caption Download in progress...", "progress 50", "progress 99", "progress 100"},
         {"download url-EN", "check"}, Stage::Checking, File::Checked, FailureReason::None, 0, CancelStep::Ask},
        {"no length known: captions only",
         {StartFor("EN"), Reported(kConnecting), Reported(kInProgress, 0, 0), Reported(kInProgress, 500, 0)},
         {"caption Connecting to server...", "caption Download in progress..."},
         {"download url-EN"}, Stage::Downloading, File::Partial, FailureReason::None, 0, CancelStep::Ask},
        {"refused while connecting",
         {StartFor("EN"), Reported(kConnecting), FailedWith(FailureReason::HttpStatus, 404)},
         {"caption Connecting to server...", "failed"},
         {"download url-EN"}, Stage::Failed, File::None, FailureReason::HttpStatus, 404, CancelStep::Cancel},
        {"cut short in the middle",
         with({FailedWith(FailureReason::WrongLength, 100)}),
         Then(kDownloadToHalf, {"failed"}),
         {"download url-EN"}, Stage::Failed, File::None, FailureReason::WrongLength, 100, CancelStep::Cancel},
        {"reports after the failure change nothing",
         with({FailedWith(FailureReason::Network, 12002), Reported(kInProgress, 150, 200), Reported(kDone, 200, 200)}),
         Then(kDownloadToHalf, {"failed"}),
         {"download url-EN"}, Stage::Failed, File::None, FailureReason::Network, 12002, CancelStep::Cancel},
        {"no folder for the program",
         {StartFor("")},
         {"failed"}, {}, Stage::Failed, File::None, FailureReason::NoFolder, 0, CancelStep::Cancel},
        {"no worker could start",
         {StartFor("-")},
         {"failed"}, {"download url-EN"}, Stage::Failed, File::None, FailureReason::NoThread, 8, CancelStep::Cancel},
        {"Cancel while downloading",
         with({CancelPressed()}),
         Then(kDownloadToHalf, {"hide", "end"}),
         {"download url-EN", "result cancelled 0 s EN", "stop", "delete"}, Stage::Cancelled, File::None,
         FailureReason::Cancelled},
        {"Cancel after the file is complete, before its report",
         with({Finished(), CancelPressed(), Reported(kDone, 200, 200)}),
         Then(kDownloadToHalf, {"hide", "end"}),
         {"download url-EN", "result cancelled 0 s EN", "stop", "delete"}, Stage::Cancelled, File::None,
         FailureReason::Cancelled},
        // The download's news comes through the window: without one the session hears nothing of
        // it, and a program completed meanwhile must not stay behind.
        {"no window: the run ends as a failure, with nothing left",
         {StartFor("EN"), Finished(), EndedAsFailed(FailureReason::NoWindow)},
         {"hide", "end"},
         {"download url-EN", "result failed no-window 0 s EN", "stop", "delete"}, Stage::Cancelled, File::None,
         FailureReason::NoWindow},
        // A handler that ran out of memory ends the run wherever it stands, as Cancel would,
        // with the reason for the server; once the setup program runs, nothing ends it.
        {"no memory while downloading",
         with({EndedAsFailed(FailureReason::NoMemory)}),
         Then(kDownloadToHalf, {"hide", "end"}),
         {"download url-EN", "result failed no-memory 0 s EN", "stop", "delete"}, Stage::Cancelled, File::None,
         FailureReason::NoMemory},
        {"no memory while the check holds the program ends the dialog once it is gone",
         with({Finished(), Reported(kDone, 200, 200), EndedAsFailed(FailureReason::NoMemory), CheckedAs(0)}),
         Then(kDownloadToHalf, {"progress 100", "hide", "end"}),
         {"download url-EN", "check", "result failed no-memory 0 s EN", "discard"}, Stage::Cancelled, File::None,
         FailureReason::NoMemory},
        {"no memory once the setup program runs changes nothing",
         with({Finished(), Reported(kDone, 200, 200), CheckedAs(0), EndedAsFailed(FailureReason::NoMemory)}),
         Then(kDownloadToHalf, {"progress 100", "caption Installing...", "hide"}),
         {"download url-EN", "check", "hand-over EN 0 s"}, Stage::HandOver, File::Running},
        {"no memory twice: the run ends once",
         with({EndedAsFailed(FailureReason::NoMemory), EndedAsFailed(FailureReason::NoMemory)}),
         Then(kDownloadToHalf, {"hide", "end"}),
         {"download url-EN", "result failed no-memory 0 s EN", "stop", "delete"}, Stage::Cancelled, File::None,
         FailureReason::NoMemory},
        {"Cancel with a worker stuck in a read",
         with({CancelPressed()}),
         Then(kDownloadToHalf, {"hide", "end"}),
         {"download url-EN", "result cancelled 0 s EN", "stop"}, Stage::Cancelled, File::Partial,
         FailureReason::Cancelled},
        {"Cancel while the check holds the program ends the dialog once it is gone",
         with({Finished(), Reported(kDone, 200, 200), CancelPressed(), CheckedAs(0)}),
         Then(kDownloadToHalf, {"progress 100", "hide", "end"}),
         {"download url-EN", "check", "result cancelled 0 s EN", "discard"}, Stage::Cancelled, File::None,
         FailureReason::Cancelled},
        {"completion while the question is open: the hand-over wins",
         with({Finished(), Reported(kDone, 200, 200), CheckedAs(0), CancelPressed()}),
         Then(kDownloadToHalf, {"progress 100", "caption Installing...", "hide"}),
         {"download url-EN", "check", "hand-over EN 0 s"}, Stage::HandOver, File::Running},
        {"Cancel after a failure",
         with({FailedWith(FailureReason::HttpStatus, 503), CancelPressed()}),
         Then(kDownloadToHalf, {"failed", "hide", "end"}),
         {"download url-EN", "result failed http 0 s EN", "stop"}, Stage::Cancelled, File::None,
         FailureReason::Cancelled},
        // The result goes when the run ends, with the download's time until then, rounded.
        {"closing long after a failure",
         {StartFor("DE"), Reported(kConnecting), After(2499), FailedWith(FailureReason::Network, 12029),
          After(60000), CancelPressed()},
         {"caption Connecting to server...", "failed", "hide", "end"},
         {"download url-DE", "result failed network 2 s DE", "stop"}, Stage::Cancelled, File::None,
         FailureReason::Cancelled, 0, CancelStep::Ignore, "DE"},
        {"a refused signature",
         with({After(3480), Finished(), Reported(kDone, 200, 200), CheckedAs(0x800B0100), After(9000),
               CancelPressed()}),
         Then(kDownloadToHalf, {"progress 100", "failed", "hide", "end"}),
         {"download url-EN", "check", "discard", "result failed signature 4 s EN", "stop"}, Stage::Cancelled,
         File::None, FailureReason::Cancelled},
        {"no folder for the program, closed",
         {StartFor(""), CancelPressed()},
         {"failed", "hide", "end"}, {"result failed no-folder 0 s EN", "stop"}, Stage::Cancelled, File::None,
         FailureReason::Cancelled},
        {"check refused",
         with({Finished(), Reported(kDone, 200, 200), CheckedAs(0x800B0100)}),
         Then(kDownloadToHalf, {"progress 100", "failed"}),
         {"download url-EN", "check", "discard"}, Stage::Failed, File::None, FailureReason::Signature, 0x800B0100,
         CancelStep::Cancel},
        // The bytes held are not those downloaded: deleted like a refused signature, and the
        // server hears why.
        {"the program changed before it was held",
         with({Finished(), Reported(kDone, 200, 200), CheckRefused(FailureReason::Changed), CancelPressed()}),
         Then(kDownloadToHalf, {"progress 100", "failed", "hide", "end"}),
         {"download url-EN", "check", "discard", "result failed changed 0 s EN", "stop"}, Stage::Cancelled,
         File::None, FailureReason::Cancelled},
        {"the program could not be read back",
         with({Finished(), Reported(kDone, 200, 200), CheckRefused(FailureReason::File)}),
         Then(kDownloadToHalf, {"progress 100", "failed"}),
         {"download url-EN", "check", "discard"}, Stage::Failed, File::None, FailureReason::File, 0,
         CancelStep::Cancel},
        {"a language chosen while the download runs changes nothing",
         with({StartFor("DE"), Finished(), Reported(kDone, 200, 200), StartFor("FR"), CheckedAs(0), StartFor("NL")}),
         Then(kDownloadToHalf, {"progress 100", "caption Installing...", "hide"}),
         {"download url-EN", "check", "hand-over EN 0 s"}, Stage::HandOver, File::Running},
        // The failure is no result yet: the run goes on. The hand-over gets the new download's time.
        {"a language chosen after a failure starts again",
         {StartFor("EN"), After(7000), FailedWith(FailureReason::HttpStatus, 404), StartFor("DE"),
          Reported(kConnecting), After(1500), Finished(), Reported(kDone, 10, 10), After(800), CheckedAs(0)},
         {"failed", "caption Connecting to server...", "progress 100", "caption Installing...", "hide"},
         {"download url-EN", "download url-DE", "check", "hand-over DE 2 s"}, Stage::HandOver, File::Running,
         FailureReason::None, 0, CancelStep::Ignore, "DE"},
    };
}

class SetupSessionTest : public testing::TestWithParam<Case> {};

TEST_P(SetupSessionTest, RunsItsSequence) {
    const Case& c = GetParam();
    RecordingView view;
    FakeWork work;
    SetupSession session(view, work);
    session.SetTarget(L"C:\\temp\\QVTInstaller.exe");
    for (const Step& step : c.steps) {
        switch (step.kind) {
        case Step::Start: {
            std::string language = step.text;
            if (language.empty()) session.SetTarget(L"");
            if (language == "-") work.startFails = true;
            if (language.empty() || language == "-") language = "EN";
            bool accepted = session.Start("url-" + language, language);
            EXPECT_EQ(accepted, session.Language() == language) << "start for " << language;
            break;
        }
        case Step::Report: {
            Failure why;
            if (step.status == DownloadEvent::Failed) {
                why = Failure{ReasonNamed(step.text), step.number};
                if (work.file == File::Partial) work.file = File::None;  // the downloader deletes it
            }
            session.OnDownload(step.status, step.received, step.total, why);
            break;
        }
        case Step::Finish:
            ASSERT_EQ(work.file, File::Partial);
            work.file = File::Complete;
            break;
        case Step::Checked:
            session.OnChecked(*step.text ? Failure{ReasonNamed(step.text), step.number} : Failure{});
            break;
        case Step::Cancel:
            if (std::string(c.name).find("stuck") != std::string::npos) work.stopsInTime = false;
            if (session.OnCancelPressed() != CancelStep::Ignore) session.Cancel();
            break;
        case Step::EndFailed:
            session.EndAsFailed(ReasonNamed(step.text));
            break;
        case Step::Wait:
            work.now += step.number;
            break;
        }
    }
    EXPECT_EQ(view.calls, c.view);
    EXPECT_EQ(work.calls, c.work);
    EXPECT_EQ(session.CurrentStage(), c.stage);
    EXPECT_EQ(work.file, c.file);
    EXPECT_EQ(session.LastFailure().reason, c.reason) << FailureName(session.LastFailure().reason);
    EXPECT_EQ(session.LastFailure().detail, c.detail);
    EXPECT_EQ(session.Language(), c.language);
    if (c.stage != Stage::Cancelled) {
        EXPECT_EQ(session.OnCancelPressed(), c.cancel);
    }
    // Once the dialog ends, nothing of the program may stay behind: at most a partial file that
    // the system deletes with the process.
    bool ended = !view.calls.empty() && view.calls.back() == "end";
    if (ended) {
        EXPECT_TRUE(work.file == File::None || work.file == File::Partial);
    }
}

INSTANTIATE_TEST_SUITE_P(Sequences, SetupSessionTest, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& info) {
                             std::string name;
                             for (char ch : std::string(info.param.name))
                                 if (std::isalnum(static_cast<unsigned char>(ch))) name += ch;
                             return name;
                         });

// The Cancel question is asked only while something would be lost, and never once the setup runs.
TEST(SetupSession, CancelAsksOnlyWhileSomethingWouldBeLost) {
    RecordingView view;
    FakeWork work;
    SetupSession session(view, work);
    session.SetTarget(L"x");
    EXPECT_EQ(session.OnCancelPressed(), CancelStep::Cancel);
    ASSERT_TRUE(session.Start("u", "EN"));
    EXPECT_EQ(session.OnCancelPressed(), CancelStep::Ask);
    work.file = File::Complete;
    session.OnDownload(DownloadEvent::Done, 1, 1, Failure{});
    EXPECT_EQ(session.OnCancelPressed(), CancelStep::Ask);
    session.OnChecked(Failure{});
    EXPECT_EQ(session.OnCancelPressed(), CancelStep::Ignore);
    EXPECT_FALSE(session.Cancel()) << "nothing but the hand-over may end the run now";
}

// The duration runs from the accepted start to the complete download (or the failure), and a
// refused start does not restart it.
TEST(SetupSession, DurationRunsFromStartToTheEndOfTheDownload) {
    struct Ending {
        const char* name;
        DownloadEvent status;
    };
    for (Ending ending : {Ending{"done", DownloadEvent::Done}, Ending{"failed", DownloadEvent::Failed}}) {
        SCOPED_TRACE(ending.name);
        RecordingView view;
        FakeWork work;
        SetupSession session(view, work);
        session.SetTarget(L"x");
        work.now = 5000;
        ASSERT_TRUE(session.Start("u", "EN"));
        work.now = 5100;
        EXPECT_EQ(session.DurationMs(), 100u);
        EXPECT_FALSE(session.Start("u", "DE"));
        work.now = 5250;
        work.file = File::Complete;
        session.OnDownload(ending.status, 10, 10, Failure{FailureReason::Network, 1});
        work.now = 9000;
        EXPECT_EQ(session.DurationMs(), 250u);
    }
}

TEST(FailureNames, AreShortDistinctAndFitForAQuery) {
    std::vector<std::string> seen;
    for (int value = 0; value <= static_cast<int>(FailureReason::DiskFull); ++value) {
        std::string name = FailureName(static_cast<FailureReason>(value));
        EXPECT_FALSE(name.empty());
        EXPECT_LE(name.size(), 12u) << name;
        for (char ch : name) EXPECT_TRUE((ch >= 'a' && ch <= 'z') || ch == '-') << name;
        for (const std::string& other : seen) EXPECT_NE(name, other);
        seen.push_back(name);
    }
}

}  // namespace
