#include "services/SystemDlls.h"

#include "framework/Handles.h"

#include <atomic>
#include <cwchar>

namespace {
// Set once the process's search for DLLs by name is the system folder alone.
std::atomic<bool> searchRestricted{false};
// Set once no later load by name can search the program's folder (see LateDllsReady).
std::atomic<bool> lateDllsReady{false};

// The late DLLs (see LateDllsReady): the network's and cryptography's helpers, the shell's
// version reader, the common controls' themes; those that others load come before them. Loaded
// from the system folder first, a later load by name finds the one already loaded instead of
// searching.
const wchar_t* const kLateDlls[] = {
    L"bcrypt.dll",  L"msasn1.dll",  L"cryptbase.dll", L"crypt32.dll", L"secur32.dll", L"mpr.dll",
    L"iertutil.dll", L"userenv.dll", L"winhttp.dll",  L"dwmapi.dll",  L"version.dll", L"uxtheme.dll",
};

void LoadLateDllsNow() {
    for (const wchar_t* name : kLateDlls) LoadSystemDll(name);
}

// Wine's loader resolves the delay-loaded imports of its own DLLs by the process's original
// search, which begins in the program's folder, whatever the default DLL directories say.
bool DelayLoadsSearchProgramFolder() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

using AheadWork = void (*)();

DWORD WINAPI RunThenStay(void* parameter) noexcept {
    reinterpret_cast<AheadWork>(parameter)();
    // The thread stays until the process ends instead of ending now. Under Wine a thread that is
    // on its way out while the process ends can bring the process down with it (a crash instead
    // of the exit code, a few times in four hundred short runs), and these threads would end just
    // when a short run does: with its first answer.
    for (;;) Sleep(INFINITE);
}

// Runs `work` on a thread of its own; false when no thread could be had.
bool RunAhead(AheadWork work) {
    HANDLE thread = CreateThread(nullptr, 0, RunThenStay, reinterpret_cast<void*>(work), 0, nullptr);
    if (thread) CloseHandle(thread);
    return thread != nullptr;
}

// A table of a DLL's functions, filled once by the first caller while later ones wait for it.
// Never a function-local static: the runtime holds one lock of the whole process while such a
// static is made, so a DLL loading in its initialiser would hold up every other thread's first
// use of any such static. A once-flag of its own holds up only the callers of this table.
template <typename Table>
class LoadedOnce {
public:
    using Load = bool (*)(Table&);
    constexpr explicit LoadedOnce(Load load) : load(load) {}
    // Null when the DLL or any of the functions is missing.
    const Table* Get() {
        InitOnceExecuteOnce(&once, Run, this, nullptr);
        return complete ? &table : nullptr;
    }

private:
    static BOOL CALLBACK Run(INIT_ONCE*, void* parameter, void**) {
        auto* self = static_cast<LoadedOnce*>(parameter);
        self->complete = self->load(self->table);
        return TRUE;
    }

    INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    Load load;
    Table table{};
    bool complete = false;
};

#define FIND(dll, table, name) ((table.name = DllFunction<decltype(table.name)>(dll, #name)) != nullptr)

bool LoadWinInet(WinInetFunctions& functions) {
    HMODULE dll = LoadSystemDll(L"wininet.dll");
    return FIND(dll, functions, InternetOpenA) && FIND(dll, functions, InternetSetOptionA) &&
           FIND(dll, functions, InternetCrackUrlA) && FIND(dll, functions, InternetConnectA) &&
           FIND(dll, functions, HttpOpenRequestA) && FIND(dll, functions, HttpSendRequestA) &&
           FIND(dll, functions, HttpQueryInfoA) && FIND(dll, functions, InternetReadFile) &&
           FIND(dll, functions, InternetCloseHandle) && FIND(dll, functions, InternetErrorDlg);
}

bool LoadTrust(TrustFunctions& functions) {
    LoadLateDlls();
    HMODULE wintrust = LoadSystemDll(L"wintrust.dll");
    HMODULE crypt32 = LoadSystemDll(L"crypt32.dll");
    return FIND(wintrust, functions, WinVerifyTrust) && FIND(wintrust, functions, WTHelperProvDataFromStateData) &&
           FIND(wintrust, functions, WTHelperGetProvSignerFromChain) &&
           FIND(wintrust, functions, WTHelperGetProvCertFromChain) &&
           FIND(crypt32, functions, CertComparePublicKeyInfo);
}

bool LoadHashes(HashFunctions& functions) {
    LoadLateDlls();
    HMODULE bcrypt = LoadSystemDll(L"bcrypt.dll");
    return FIND(bcrypt, functions, BCryptOpenAlgorithmProvider) &&
           FIND(bcrypt, functions, BCryptCloseAlgorithmProvider) && FIND(bcrypt, functions, BCryptCreateHash) &&
           FIND(bcrypt, functions, BCryptHashData) && FIND(bcrypt, functions, BCryptFinishHash) &&
           FIND(bcrypt, functions, BCryptDestroyHash) && FIND(bcrypt, functions, BCryptDuplicateHash);
}

#undef FIND

// The DLLs stay loaded for the process's life.
LoadedOnce<WinInetFunctions> wininetFunctions{LoadWinInet};
LoadedOnce<TrustFunctions> trustFunctions{LoadTrust};
LoadedOnce<HashFunctions> hashFunctions{LoadHashes};
INIT_ONCE lateDllsOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK LoadLateDllsOnce(INIT_ONCE*, void*, void**) {
    if (searchRestricted && DelayLoadsSearchProgramFolder()) LoadLateDllsNow();
    lateDllsReady = true;
    return TRUE;
}
}  // namespace

void RestrictDllSearchToSystemFolder() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    auto setDefaultDllDirectories = DllFunction<SetDefaultDllDirectoriesFunction>(
        GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefaultDllDirectories && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        searchRestricted = true;
        lateDllsReady = !DelayLoadsSearchProgramFolder();
        return;
    }
    SetDllDirectoryW(L"");
    LoadLateDllsNow();
    lateDllsReady = true;
}

HMODULE LoadSystemDll(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    const size_t folder = GetSystemDirectoryW(path, MAX_PATH);
    const size_t length = std::wcslen(name);
    if (folder == 0 || folder + 1 + length >= MAX_PATH) return nullptr;
    path[folder] = L'\\';
    std::wmemcpy(path + folder + 1, name, length + 1);
    // By its full path, so never searched for. What it imports comes from the system folder too:
    // by the restricted search, else from the DLL's own folder first.
    return LoadLibraryExW(path, nullptr, searchRestricted ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

void LoadThemeDlls() {
    for (const wchar_t* name : {L"uxtheme.dll", L"dwmapi.dll"}) LoadSystemDll(name);
}

bool LateDllsReady() { return lateDllsReady; }

void LoadLateDlls() { InitOnceExecuteOnce(&lateDllsOnce, LoadLateDllsOnce, nullptr, nullptr); }

void LoadLateDllsAhead() {
    static std::atomic<bool> started{false};
    if (!LateDllsReady() && !started.exchange(true)) RunAhead(LoadLateDlls);
}

const WinInetFunctions* WinInet() { return wininetFunctions.Get(); }

void LoadWinInetAhead() {
    RunAhead([] { WinInet(); });
}

const TrustFunctions* Trust() { return trustFunctions.Get(); }

const HashFunctions* Hashes() { return hashFunctions.Get(); }

void CloseInternetHandle::operator()(HINTERNET handle) const {
    // A handle exists only when WinINet was loaded.
    if (const WinInetFunctions* wininet = WinInet()) wininet->InternetCloseHandle(handle);
}
