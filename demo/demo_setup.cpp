// The demo's product: one small program that is both the setup and the game it installs.
//   demo_setup /SILENT   installs itself as C:\Program Files\Pellmorrow\Pellmorrow.exe
//   Pellmorrow.exe       the "game": shows its window for a few seconds and notes each start in
//                        played.txt beside itself
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const char kInstallDir[] = "C:\\Program Files\\Pellmorrow";

int Install() {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, sizeof(self));
    CreateDirectoryA("C:\\Program Files", nullptr);
    CreateDirectoryA(kInstallDir, nullptr);
    char target[MAX_PATH];
    std::snprintf(target, sizeof(target), "%s\\Pellmorrow.exe", kInstallDir);
    return CopyFileA(self, target, FALSE) ? 0 : 1;
}

LRESULT CALLBACK GameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER || message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int Play(HINSTANCE instance) {
    char played[MAX_PATH];
    GetModuleFileNameA(nullptr, played, sizeof(played));
    char* slash = std::strrchr(played, '\\');
    if (slash) std::strcpy(slash + 1, "played.txt");
    if (FILE* out = std::fopen(played, "a")) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        std::fprintf(out, "played %04d-%02d-%02d %02d:%02d:%02d\n", now.wYear, now.wMonth, now.wDay, now.wHour,
                     now.wMinute, now.wSecond);
        std::fclose(out);
    }
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = GameProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = CreateSolidBrush(RGB(5, 81, 21));
    windowClass.lpszClassName = "PellmorrowDemoGame";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowA("PellmorrowDemoGame", "Pellmorrow (demo game)", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                                CW_USEDEFAULT, CW_USEDEFAULT, 360, 120, nullptr, nullptr, instance, nullptr);
    CreateWindowA("STATIC", "Pellmorrow is installed and running.", WS_CHILD | WS_VISIBLE | SS_CENTER, 10, 30, 330,
                  20, window, nullptr, instance, nullptr);
    ShowWindow(window, SW_SHOW);
    SetTimer(window, 1, 4000, nullptr);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    if (std::strstr(commandLine, "/SILENT")) return Install();
    return Play(instance);
}
