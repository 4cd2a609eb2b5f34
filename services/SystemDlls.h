#pragma once
// The system DLLs that Windows may take from the program's own folder are never in this
// program's import table. Any DLL that is not one of Windows' KnownDLLs is looked for beside the
// program first, and an installer runs from a Downloads folder where any web page may have left
// a file of that name. So the import table holds only KnownDLLs (and the common controls, which
// the manifest's side-by-side assembly brings from the system's own store), and the rest is
// loaded here, by hand, from the system folder only, when first needed.
#include <windows.h>
#include <wininet.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <bcrypt.h>

#include "framework/Handles.h"

// A WinINet handle, closed through the WinINet loaded from the system folder.
struct CloseInternetHandle { void operator()(HINTERNET handle) const; };
using UniqueInternet = Unique<HINTERNET, CloseInternetHandle>;

// From here on the process loads DLLs by name from the system folder only (nor from the
// program's folder, nor the current one), also those that system DLLs load on their own.
// Called first thing at start-up. Where Windows cannot restrict the search (Windows 7 without
// its 2011 loader update), the current folder at least is taken out of it, and the DLLs that
// the system's DLLs load by name later are loaded from the system folder now.
void RestrictDllSearchToSystemFolder();

// A DLL from the system folder by its file name, kept loaded; null when it is not there.
HMODULE LoadSystemDll(const wchar_t* name);

// The function `name` of `dll`, as the pointer type `Function`; null when either is missing.
template <typename Function>
Function DllFunction(HMODULE dll, const char* name) {
    return dll ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name))) : nullptr;
}

// Wine's common controls load the themes' DLLs when they start, by a search that still includes
// the program's folder: called before their first use, this loads the system's ones.
void LoadThemeDlls();

// The late DLLs: those that the network's, the signature check's and the window's system DLLs
// load by name when they first need them (for TLS, for answering a server's challenge, for
// certificates, hashes and themes). Under Wine those loads search the program's folder first,
// whatever the process asked for, so there they are loaded from the system folder before
// anything can need them: by Trust() and Hashes(), by a download before a secure request or
// before following a redirect or answering a challenge, and ahead, once a first request is out,
// on a thread of their own. They take longer to load than all the rest of the start-up, so
// the first request does not wait for them.
//
// True where no late load can search the program's folder: on Windows, whose restricted search
// also holds for them, or once they are loaded.
bool LateDllsReady();
// Loads them now, once; a caller meanwhile waits for the first.
void LoadLateDlls();
// Loads them on a thread of their own, once; where no thread can be had, whoever needs them first
// loads them.
void LoadLateDllsAhead();

// Each table below is filled by its first caller, while others wait for that one alone.

// The WinINet functions the downloader calls. Null when wininet.dll or any of them is missing:
// then no download can start, and each one fails. A plain request loads no late DLL; see
// LateDllsReady for what else may.
struct WinInetFunctions {
    decltype(&InternetOpenA) InternetOpenA;
    decltype(&InternetSetOptionA) InternetSetOptionA;
    decltype(&InternetCrackUrlA) InternetCrackUrlA;
    decltype(&InternetConnectA) InternetConnectA;
    decltype(&HttpOpenRequestA) HttpOpenRequestA;
    decltype(&HttpSendRequestA) HttpSendRequestA;
    decltype(&HttpQueryInfoA) HttpQueryInfoA;
    decltype(&InternetReadFile) InternetReadFile;
    decltype(&InternetCloseHandle) InternetCloseHandle;
    decltype(&InternetErrorDlg) InternetErrorDlg;
};
const WinInetFunctions* WinInet();
// Loads WinINet on a thread of its own, so that the first download finds it loaded instead of
// waiting for it; meanwhile the caller goes on (making its window). When no thread can be had,
// the first download loads it as before.
void LoadWinInetAhead();

// The signature check's functions, from wintrust.dll and crypt32.dll. Null when either DLL or
// any of them is missing: then no signature checks out.
struct TrustFunctions {
    decltype(&WinVerifyTrust) WinVerifyTrust;
    decltype(&WTHelperProvDataFromStateData) WTHelperProvDataFromStateData;
    decltype(&WTHelperGetProvSignerFromChain) WTHelperGetProvSignerFromChain;
    decltype(&WTHelperGetProvCertFromChain) WTHelperGetProvCertFromChain;
    decltype(&CertComparePublicKeyInfo) CertComparePublicKeyInfo;
};
const TrustFunctions* Trust();

// The hash functions of bcrypt.dll, for the digest of a downloaded file. Null when the DLL or any
// of them is missing: then no digest can be taken, and the download fails.
struct HashFunctions {
    decltype(&BCryptOpenAlgorithmProvider) BCryptOpenAlgorithmProvider;
    decltype(&BCryptCloseAlgorithmProvider) BCryptCloseAlgorithmProvider;
    decltype(&BCryptCreateHash) BCryptCreateHash;
    decltype(&BCryptHashData) BCryptHashData;
    decltype(&BCryptFinishHash) BCryptFinishHash;
    decltype(&BCryptDestroyHash) BCryptDestroyHash;
    decltype(&BCryptDuplicateHash) BCryptDuplicateHash;
};
const HashFunctions* Hashes();
