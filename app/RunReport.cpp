#include "app/RunReport.h"

#include "services/PollingWait.h"

RunReport::~RunReport() { EndProcessIfStillUsed(sender.InUse()); }

void RunReport::Send(const std::string& url) {
    if (sent) return;
    sent = true;
    sentAt = GetTickCount();
    DownloadPolicy policy;
    policy.silenceMs = kBoundMs;
    // The answer is empty; whatever a server sends instead is not wanted.
    policy.maxBytes = 4096;
    sender.DownloadToMemory(url, false, policy);
}

void RunReport::Finish() {
    const DWORD spent = GetTickCount() - sentAt;
    if (sent && spent < kBoundMs) WaitUntil([this] { return !sender.InUse(); }, kBoundMs - spent);
}
