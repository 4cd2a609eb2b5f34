// startup_minimal URL
// The least a Windows program can do to send the installer's first request: the same WinINet
// calls, flags and user agent as the Downloader (session, connection, request, send), on the
// main thread, with no window. run_startup_bench.sh times its launch to the request's arrival
// beside the installer's. A windowed program like the installer, so that both start the same way.
#include <windows.h>
#include <wininet.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR url, int) {
    // Host and the path with its query (the URL's rest), copied out of the URL.
    char host[256], object[2048];
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof(host);
    parts.lpszUrlPath = object;
    parts.dwUrlPathLength = sizeof(object);
    if (!InternetCrackUrlA(url, 0, 0, &parts)) return 2;
    // The path holds the query too when no separate buffer is given for it.

    HINTERNET session = InternetOpenA("QVT", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET connection = session ? InternetConnectA(session, host, parts.nPort, nullptr, nullptr,
                                                      INTERNET_SERVICE_HTTP, 0, 1)
                                   : nullptr;
    HINTERNET request = connection ? HttpOpenRequestA(connection, "GET", object, nullptr, nullptr, nullptr,
                                                      INTERNET_FLAG_RELOAD | INTERNET_FLAG_TRANSFER_BINARY, 1)
                                   : nullptr;
    const bool sent = request && HttpSendRequestA(request, nullptr, 0, nullptr, 0);
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    if (session) InternetCloseHandle(session);
    return sent ? 0 : 1;
}
