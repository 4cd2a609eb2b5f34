// The platform's own verdict on a file's Authenticode signature: runs WinVerifyTrust with the
// generic verify action, without any UI and without revocation checks (the tests have no
// network), prints the result as 0xXXXXXXXX and exits 0 only when it is 0 (trusted).
#include <windows.h>
#include <shellapi.h>
#include <softpub.h>
#include <wintrust.h>

#include <cstdio>

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 2) {
        std::fputs("usage: trust_check FILE\n", stderr);
        return 2;
    }
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = argv[1];
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    LocalFree(argv);
    std::printf("0x%08lX\n", static_cast<unsigned long>(result));
    return result == 0 ? 0 : 1;
}
