// A DLL that loads slowly holds up the callers of its own function table, and no other thread's
// first use of a function-local static. The C++ runtime of the installer's thread model holds
// one lock of the whole process while any such static is made, so a table filled in a static's
// initialiser would hold every other first-time static up for as long as its DLL takes to load.
//
// Linked like the installer (the win32 thread model's runtime; GoogleTest's would release that
// lock while a static is made, and show nothing), so it is a program of its own: exit code 0
// when the static was made while the load was held up, 1 with the reason otherwise.
//
// The load is held up by holding the system's loader lock, which every DLL load takes: WinInet
// is not loaded before the table asks for it.
#include "services/SystemDlls.h"

#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstdio>

extern "C" NTSTATUS NTAPI LdrLockLoaderLock(ULONG flags, ULONG* state, ULONG_PTR* cookie);
extern "C" NTSTATUS NTAPI LdrUnlockLoaderLock(ULONG flags, ULONG_PTR cookie);

namespace {

std::atomic<bool> tableAsked{false};
std::atomic<bool> staticMade{false};
HANDLE started[2], askTable, makeStatic;

// The loader lock as the process environment block names it: its count of threads that want it
// tells when the table's first caller waits for it.
RTL_CRITICAL_SECTION* LoaderLock() {
#ifdef _WIN64
    constexpr size_t kLoaderLockField = 0x110;
#else
    constexpr size_t kLoaderLockField = 0xA0;
#endif
    auto* peb = reinterpret_cast<const BYTE*>(NtCurrentTeb()->ProcessEnvironmentBlock);
    return *reinterpret_cast<RTL_CRITICAL_SECTION* const*>(peb + kLoaderLockField);
}

// Made at its first use; `volatile` keeps it from being made at compile time.
int Answer() {
    static volatile int seed = 41;
    static const int answer = seed + 1;
    return answer;
}

DWORD WINAPI TableCaller(void*) {
    SetEvent(started[0]);
    WaitForSingleObject(askTable, INFINITE);
    tableAsked = true;
    WinInet();
    return 0;
}

DWORD WINAPI StaticUser(void*) {
    SetEvent(started[1]);
    WaitForSingleObject(makeStatic, INFINITE);
    staticMade = Answer() == 42;
    return 0;
}

// Polls `done` for up to `seconds`.
template <typename Done>
bool WaitUntil(Done done, int seconds) {
    for (int i = 0; i < seconds * 100 && !done(); ++i) Sleep(10);
    return done();
}

int Fail(const char* why) {
    std::printf("FAILED: %s\n", why);
    return 1;
}

}  // namespace

int main() {
    if (GetModuleHandleW(L"wininet.dll")) return Fail("WinINet was loaded before the test");
    for (HANDLE& event : started) event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    askTable = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    makeStatic = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[2] = {CreateThread(nullptr, 0, TableCaller, nullptr, 0, nullptr),
                         CreateThread(nullptr, 0, StaticUser, nullptr, 0, nullptr)};
    if (!started[0] || !started[1] || !askTable || !makeStatic || !threads[0] || !threads[1])
        return Fail("no events or threads");
    // Both threads are running before the loader lock is held: a starting thread takes it too.
    WaitForMultipleObjects(2, started, TRUE, INFINITE);

    ULONG_PTR cookie = 0;
    if (LdrLockLoaderLock(0, nullptr, &cookie) != 0) return Fail("the loader lock could not be taken");
    RTL_CRITICAL_SECTION* lock = LoaderLock();
    if (!lock || reinterpret_cast<DWORD_PTR>(lock->OwningThread) != GetCurrentThreadId()) {
        LdrUnlockLoaderLock(0, cookie);
        return Fail("the loader lock is not where the process environment block says");
    }
    const LONG idle = lock->LockCount;  // held by this thread alone
    SetEvent(askTable);
    const bool loadWaiting = WaitUntil([&] { return tableAsked && lock->LockCount > idle; }, 30);
    SetEvent(makeStatic);
    const bool madeMeanwhile = loadWaiting && WaitUntil([] { return staticMade.load(); }, 10);
    const bool stillLoading = GetModuleHandleW(L"wininet.dll") == nullptr;
    LdrUnlockLoaderLock(0, cookie);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);

    if (!loadWaiting) return Fail("the table's first caller never waited for the loader");
    if (!madeMeanwhile) return Fail("another thread's first-time static waited for the DLL's load");
    if (!stillLoading) return Fail("the DLL loaded before the static was made: nothing was held up");
    if (!WinInet()) return Fail("the table is not complete once the load went on");
    std::printf("a first-time static was made while the DLL's load was held up\n");
    return 0;
}
