#include "app/SetupWorkers.h"

#include "app/InstallFolder.h"
#include "app/InstallerPaths.h"
#include "services/PollingWait.h"
#include "services/RegistryKey.h"

#include <objbase.h>
#include <rpc.h>
#include <shellapi.h>

namespace {
// The setup download tries this often in all before "Download failed!".
constexpr int kSetupAttempts = 3;
// The folder, in the user's folder of the product, where an interrupted download's bytes wait for
// the next run.
constexpr const wchar_t* kKeptFolder = L"Interrupted downloads";
// How long a Cancel waits for the download to wind down. A worker still inside a network read
// then is not waited out: the process ends under it, and the system deletes its partial file.
constexpr DWORD kStopWaitMs = 500;

// Runs a program in `folder` and waits for it to end; false when it could not be started.
// `exitCode` is the program's own; one that cannot be read is not taken for success.
bool RunAndWait(const wchar_t* file, const wchar_t* parameters, const wchar_t* folder, DWORD& exitCode) {
    exitCode = 0xFFFFFFFF;
    // The shell may hand the request to extensions that expect COM on the calling thread.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // No error box: the window is hidden and nobody may be there to answer it; a setup that
    // cannot start is recorded all the same.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_CONNECTNETDRV | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = file;
    info.lpParameters = parameters;
    info.lpDirectory = folder;
    info.nShow = SW_SHOW;
    bool started = ShellExecuteExW(&info);
    if (started && info.hProcess) {
        WaitForSingleObject(info.hProcess, INFINITE);
        DWORD code;
        if (GetExitCodeProcess(info.hProcess, &code)) exitCode = code;
        CloseHandle(info.hProcess);
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return started;
}

std::string NewGuid() {
    UUID uuid;
    RPC_CSTR text = nullptr;
    if (UuidCreate(&uuid) != RPC_S_OK || UuidToStringA(&uuid, &text) != RPC_S_OK) return "GUID FAILED!";
    std::string guid = reinterpret_cast<const char*>(text);
    RpcStringFreeA(&text);
    return guid;
}

// The user's local application data folder, as the system sets it at logon (as the temporary
// folder is): the shell's DLLs, which know it too, would hold up the first request. Empty when
// unknown.
std::wstring LocalAppData() {
    return GrowingPath([](wchar_t* buffer, uint32_t size) { return GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, size); });
}

bool StartThread(LPTHREAD_START_ROUTINE main, void* parameter) {
    HANDLE thread = CreateThread(nullptr, 0, main, parameter, 0, nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    return true;
}
}  // namespace

SetupWorkers::SetupWorkers(InstallRecord record, std::wstring ownPath, std::string serverHost, DWORD silenceMs,
                           ProxyPrompt* proxyPrompt)
    : record(std::move(record)),
      ownPath(std::move(ownPath)),
      serverHost(std::move(serverHost)),
      silenceMs(silenceMs),
      proxyPrompt(proxyPrompt) {}

std::wstring SetupWorkers::MakeProgramPath(const std::wstring& parent) {
    return folder.Create(parent) ? JoinPath(folder.Path(), L"QVTInstaller.exe") : std::wstring();
}

SetupWorkers::~SetupWorkers() {
    // The window is gone: the user waits for nothing while the result request ends.
    FinishResult();
    // A worker still inside a network read, or a check still reading the program: nothing of
    // the cancelled run is worth keeping, so the process ends before they meet a dead object.
    EndProcessIfStillUsed(downloader.InUse() || checking);
}

bool SetupWorkers::StartDownload(const std::string& url, const std::wstring& path, Failure* failure) {
    downloader.SetCallback(OnDownloadEvent, this);
    DownloadPolicy policy;
    policy.silenceMs = silenceMs;
    policy.attempts = kSetupAttempts;
    policy.proxyPrompt = proxyPrompt;
    kept.Prepare(LocalAppData(), {record.productFolder, kKeptFolder}, url);
    policy.kept = &kept;
    if (downloader.DownloadToFile(url, path, true, policy)) return true;
    // Busy cannot be: the session starts one download at a time.
    *failure = downloader.busy ? Failure{FailureReason::NoThread, 0} : downloader.failure;
    return false;
}

// On the download's worker.
int SetupWorkers::OnDownloadEvent(Downloader* downloader, void* context) noexcept {
    auto* self = static_cast<SetupWorkers*>(context);
    if (downloader->status != DownloadEvent::Connecting && !self->answered.load(std::memory_order_relaxed) &&
        !self->answered.exchange(true) && self->downloadAnswered)
        SetEvent(self->downloadAnswered.get());
    // The bar shows no more than a frame's worth of progress anyway.
    const auto status = static_cast<int>(downloader->status.load());
    if (self->downloadNews.RaiseAtMostEvery(SetupSession::kFrameMs, status, GetTickCount()))
        PostMessageA(self->window, WM_SETUP_DOWNLOAD, 0, 0);
    return 1;
}

void SetupWorkers::WaitUntilDownloadAnswered(DWORD ms) {
    if (downloader.busy && downloadAnswered) WaitForSingleObject(downloadAnswered.get(), ms);
}

DownloadReport SetupWorkers::TakeReport() {
    downloadNews.Take();
    DownloadReport report{downloader.status, 0, 0, Failure{}};
    report.received = downloader.received;
    report.total = downloader.totalSize;
    // Written before the status that says it is final.
    if (report.status == DownloadEvent::Failed) report.failure = downloader.failure;
    return report;
}

bool SetupWorkers::WaitUntilIdle(const Downloader& downloader, DWORD ms) {
    return WaitUntil([&downloader] { return !downloader.InUse(); }, ms);
}

// After this no callback reaches this object, and a stopped download has removed its partial
// file, unless its worker is stuck in a network read for longer than the wait.
bool SetupWorkers::StopDownload() {
    downloader.SetCallback(nullptr, nullptr);
    downloader.Stop();
    return WaitUntilIdle(downloader, kStopWaitMs);
}

void SetupWorkers::StartCheck(const std::wstring& path) {
    program = path;
    // Held since its last byte was written.
    complete = downloader.TakeFile();
    checking = true;
    // Without a thread of its own the check runs here: the window waits, but nothing unchecked runs.
    if (!StartThread(CheckMain, this)) Check();
}

DWORD WINAPI SetupWorkers::CheckMain(void* parameter) noexcept {
    static_cast<SetupWorkers*>(parameter)->Check();
    return 0;
}

// What runs is what was checked: the program stays unchangeable until the setup has ended or
// the program is discarded.
void SetupWorkers::Check() noexcept {
    const Failure verdict = check.Check(ownPath, program, std::move(complete));
    HWND target = window;
    // The last touch of this object: the window's thread may destroy it once this reads false.
    checking = false;
    PostMessageA(target, WM_SETUP_CHECKED, static_cast<WPARAM>(verdict.reason), static_cast<LPARAM>(verdict.detail));
}

void SetupWorkers::DeleteProgram(const std::wstring& path) {
    // The download's own file, if it completed: nothing else that may lie at its path.
    downloader.TakeFile().Delete(path.c_str());
}

void SetupWorkers::DiscardProgram(const std::wstring& path) { check.Delete(path); }

void SetupWorkers::StartHandOver(const std::wstring& path, const std::string& setupLanguage, uint32_t seconds) {
    program = path;
    language = setupLanguage;
    downloadSeconds = seconds;
    // Waiting for the setup program must not stop the window's thread: setup programs broadcast
    // messages and wait for every window to answer.
    if (!StartThread(HandOverMain, this)) HandOver();
}

void SetupWorkers::SendResult(const RunResult& run, const std::string& runLanguage) {
    try {
        result.Send(ResultRequestUrl({serverHost, record.affiliateId, record.skinId, runLanguage, record.remarks}, run));
    } catch (...) {
        // No memory for the request: the server does not hear of this run, which changes nothing
        // else (the run's end never depends on the request).
    }
}

DWORD WINAPI SetupWorkers::HandOverMain(void* parameter) noexcept { static_cast<SetupWorkers*>(parameter)->HandOver(); }

// Everything after the setup program ends is done whatever it did.
void SetupWorkers::HandOver() noexcept {
    {
        // A folder recorded by an earlier, broken installation must not pass for the one this
        // setup program chooses.
        RegistryKey key;
        if (key.OpenProduct(record.productName, false)) key.DeleteValue("installDir");
    }
    // Read while nobody but the check can open the program for anything but reading.
    const WORD machine = ProgramMachine(program.c_str());
    // Started in the run's own folder, which holds nothing else.
    DWORD exitCode;
    // Nothing more is kept: the place is free for another installer, and its folder goes if empty.
    kept.Release();
    const bool started = RunAndWait(program.c_str(), L"/SILENT", folder.Path().c_str(), exitCode);
    check.Delete(program);
    RunResult outcome = started ? RunResult{RunResult::Outcome::Installed, exitCode, "", downloadSeconds}
                                : RunResult{RunResult::Outcome::Failed, 0, FailureName(FailureReason::NoStart), downloadSeconds};
    try {
        record.guid = NewGuid();
        RecordInstallation(machine);
    } catch (...) {
        // No memory to record it all: the next run may not find the installation.
        outcome = RunResult{RunResult::Outcome::Failed, 0, FailureName(FailureReason::NoMemory), downloadSeconds};
    }
    // The installation is recorded; the server hears how the setup program ended.
    SendResult(outcome, language);
    // While the result request is on its way: the system may let go of the deleted program a
    // while after it ended.
    folder.Remove();
    FinishResult();
    // End here, from this thread, without waiting on the window's thread or running anything
    // that thread might be holding a lock for.
    TerminateProcess(GetCurrentProcess(), 1);
    for (;;) Sleep(INFINITE);
}

void SetupWorkers::RecordInstallation(WORD machine) {
    RegistryKey key;
    if (!key.OpenProduct(record.productName, true)) return;
    key.WriteDword("affId", record.affiliateId);
    key.WriteDword("skinId", static_cast<DWORD>(record.skinId));
    key.WriteString("remarks", record.remarks);
    key.WriteString("lang", language);
    // The setup program knows where it installed: a folder it recorded itself is kept. Else it
    // installed where setup programs of its processor install by default (a 32-bit one on 64-bit
    // Windows into "Program Files (x86)"); where that cannot be told, nothing is recorded, and
    // the next run downloads again rather than look in the wrong folder.
    std::wstring chosen;
    if (!key.ReadString(L"installDir", chosen) || chosen.empty()) {
        const std::wstring folder = DefaultInstallDir(machine, record.productFolder);
        if (!folder.empty()) key.WriteString(L"installDir", folder);
    }
    key.WriteString("guid", record.guid);
}
