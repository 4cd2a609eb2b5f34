#include "app/SetupSession.h"

#include "controls/ProgressMath.h"

bool SetupSession::Start(const std::string& url, const std::string& newLanguage) {
    if (stage != Stage::Idle && stage != Stage::Failed) return false;
    language = newLanguage;
    failure = Failure{};
    shownStatus = DownloadEvent::Idle;
    stage = Stage::Downloading;
    startedAt = work.Now();
    clockRunning = true;
    Failure why;
    if (target.empty()) {
        // No folder could be found for the setup program: nothing is fetched, nothing written.
        Fail(Failure{FailureReason::NoFolder, 0});
    } else if (!work.StartDownload(url, target, &why)) {
        Fail(why);
    }
    return true;
}

void SetupSession::OnDownload(DownloadEvent status, uint64_t received, uint64_t total, const Failure& why) {
    // A report that arrives after the download ended (cancelled, or already complete) is late.
    if (stage != Stage::Downloading) return;
    ShowPercent(status, received, total);
    if (status == shownStatus) return;
    shownStatus = status;
    switch (status) {
    case DownloadEvent::Connecting:
        view.ShowCaption(kConnecting);
        break;
    case DownloadEvent::InProgress:
        view.ShowCaption(kInProgress);
        break;
    case DownloadEvent::Failed:
        Fail(why.reason == FailureReason::None ? Failure{FailureReason::Network, 0} : why);
        break;
    case DownloadEvent::Done:
        StopClock();
        stage = Stage::Checking;
        work.StartCheck(target);
        break;
    case DownloadEvent::Idle:
        break;
    }
}

// Only ever forward: a download that starts again from zero leaves the bar where it was.
void SetupSession::ShowPercent(DownloadEvent status, uint64_t received, uint64_t total) {
    if (total == 0) return;
    const int percent = DownloadPercentage(received, total);
    const bool last = status == DownloadEvent::Done || status == DownloadEvent::Failed || percent >= 100;
    const uint32_t now = work.Now();
    if (percent <= shownPercent || (!last && shownPercent >= 0 && now - shownAt < kFrameMs)) return;
    shownPercent = percent;
    shownAt = now;
    view.ShowProgress(static_cast<unsigned>(percent));
}

void SetupSession::OnChecked(const Failure& verdict) {
    if (stage == Stage::Cancelled) {
        // Cancel came while the check held the program: it goes now, and so does the dialog.
        work.DiscardProgram(target);
        view.End();
        return;
    }
    if (stage != Stage::Checking) return;
    if (verdict.reason != FailureReason::None) {
        // Not the bytes downloaded, or not signed by the publisher: deleted, never run, nothing
        // recorded.
        work.DiscardProgram(target);
        Fail(verdict);
        return;
    }
    // From here on only the hand-over ends the process, or the installation would go
    // unrecorded: the window stays hidden and a Cancel question still open is moot.
    stage = Stage::HandOver;
    view.ShowCaption(kInstalling);
    view.Hide();
    work.StartHandOver(target, language, DurationSeconds());
}

SetupSession::CancelStep SetupSession::OnCancelPressed() const {
    switch (stage) {
    case Stage::HandOver:
    case Stage::Cancelled:
        return CancelStep::Ignore;
    case Stage::Downloading:
    case Stage::Checking:
        return CancelStep::Ask;
    case Stage::Idle:
    case Stage::Failed:
        break;
    }
    return CancelStep::Cancel;
}

bool SetupSession::Cancel() { return End(FailureReason::Cancelled); }

bool SetupSession::EndAsFailed(FailureReason why) { return End(why); }

bool SetupSession::End(FailureReason why) {
    if (stage == Stage::HandOver || stage == Stage::Cancelled) return false;
    const Stage was = stage;
    // How the run ended, for the server: read before the failure gives way to the Cancel.
    RunResult result{RunResult::Outcome::Cancelled, 0, "", 0};
    if (why != FailureReason::Cancelled) result = RunResult{RunResult::Outcome::Failed, 0, FailureName(why), 0};
    else if (was == Stage::Failed) result = RunResult{RunResult::Outcome::Failed, 0, FailureName(failure.reason), 0};
    stage = Stage::Cancelled;
    failure = Failure{why, 0};
    StopClock();
    // The window goes at once, whatever the network does.
    view.Hide();
    // The run ends here, after a failure or by Cancel: the server hears how, once. The request
    // goes before the wait for the download, so that their bounds overlap.
    if (was != Stage::Idle) {
        result.seconds = DurationSeconds();
        work.SendResult(result, language);
    }
    if (was == Stage::Checking) {
        // The check holds the complete program and nobody can delete it meanwhile; the dialog
        // ends when the verdict comes and the program is gone.
        return true;
    }
    // A download that completed just before the stop leaves a whole setup program whose report
    // has not arrived yet: not wanted either. A worker that cannot let go of the file in time
    // is left to the system, which deletes its partial file when the process ends.
    if (work.StopDownload() && was == Stage::Downloading) work.DeleteProgram(target);
    view.End();
    return true;
}

uint32_t SetupSession::DurationMs() {
    return (clockRunning ? work.Now() : endedAt) - startedAt;
}

void SetupSession::Fail(const Failure& why) {
    // Marked failed before the words show: a user who sees them and closes the window at once
    // must not be asked.
    stage = Stage::Failed;
    failure = why;
    StopClock();
    view.ShowFailed();
}

void SetupSession::StopClock() {
    if (!clockRunning) return;
    endedAt = work.Now();
    clockRunning = false;
}
