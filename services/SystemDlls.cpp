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

template <typename Function>
bool Find(HMODULE dll, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(dll ? GetProcAddress(dll, name) : nullptr));
    return function != nullptr;
}
}  // namespace

void RestrictDllSearchToSystemFolder() {
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
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

void LoadLateDlls() {
    static const bool loaded = [] {
        if (searchRestricted && DelayLoadsSearchProgramFolder()) LoadLateDllsNow();
        lateDllsReady = true;
        return true;
    }();
    (void)loaded;
}

void LoadLateDllsAhead() {
    static std::atomic<bool> started{false};
    if (!LateDllsReady() && !started.exchange(true)) RunAhead(LoadLateDlls);
}

// Each table is filled once, by the first caller; the DLLs stay loaded for the process's life.
#define FIND(dll, table, name) Find(dll, #name, table.name)

const WinInetFunctions* WinInet() {
    static const WinInetFunctions* const loaded = []() -> const WinInetFunctions* {
        static WinInetFunctions functions;
        HMODULE dll = LoadSystemDll(L"wininet.dll");
        bool all = FIND(dll, functions, InternetOpenA) && FIND(dll, functions, InternetSetOptionA) &&
                   FIND(dll, functions, InternetCrackUrlA) && FIND(dll, functions, InternetConnectA) &&
                   FIND(dll, functions, HttpOpenRequestA) && FIND(dll, functions, HttpSendRequestA) &&
                   FIND(dll, functions, HttpQueryInfoA) && FIND(dll, functions, InternetReadFile) &&
                   FIND(dll, functions, InternetCloseHandle);
        return all ? &functions : nullptr;
    }();
    return loaded;
}

void LoadWinInetAhead() {
    RunAhead([] { WinInet(); });
}

const TrustFunctions* Trust() {
    static const TrustFunctions* const loaded = []() -> const TrustFunctions* {
        static TrustFunctions functions;
        LoadLateDlls();
        HMODULE wintrust = LoadSystemDll(L"wintrust.dll");
        HMODULE crypt32 = LoadSystemDll(L"crypt32.dll");
        bool all = FIND(wintrust, functions, WinVerifyTrust) &&
                   FIND(wintrust, functions, WTHelperProvDataFromStateData) &&
                   FIND(wintrust, functions, WTHelperGetProvSignerFromChain) &&
                   FIND(wintrust, functions, WTHelperGetProvCertFromChain) &&
                   FIND(crypt32, functions, CertComparePublicKeyInfo);
        return all ? &functions : nullptr;
    }();
    return loaded;
}

const HashFunctions* Hashes() {
    static const HashFunctions* const loaded = []() -> const HashFunctions* {
        static HashFunctions functions;
        LoadLateDlls();
        HMODULE bcrypt = LoadSystemDll(L"bcrypt.dll");
        bool all = FIND(bcrypt, functions, BCryptOpenAlgorithmProvider) &&
                   FIND(bcrypt, functions, BCryptCloseAlgorithmProvider) && FIND(bcrypt, functions, BCryptCreateHash) &&
                   FIND(bcrypt, functions, BCryptHashData) && FIND(bcrypt, functions, BCryptFinishHash) &&
                   FIND(bcrypt, functions, BCryptDestroyHash);
        return all ? &functions : nullptr;
    }();
    return loaded;
}

#undef FIND

void CloseInternetHandle::operator()(HINTERNET handle) const {
    // A handle exists only when WinINet was loaded.
    if (const WinInetFunctions* wininet = WinInet()) wininet->InternetCloseHandle(handle);
}
