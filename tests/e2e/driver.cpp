// Watches and drives the installer from outside, as a user would: a Win32 console program run
// under Wine by the end-to-end tests. Each command prints one JSON object on stdout.
//
//   driver watch EXE            run EXE until it ends; report its exit code and whether any window
//                               of it was ever visible
//   driver about EXE            run EXE, wait for its main window, open the About box from its
//                               system menu, close both; report what was seen
//   driver session EXE [cancel-at=TEXT] [cancel-by=close|escape] [answer=yes|no|none] [timeout=MS]
//                  [shot=OUT.bmp] [shot-after=MS] [poll=MS] [every=N] [kill-at=TEXT]
//                  [answer-when=POSITION] [click-at=TEXT] [events=FILE] [credentials=ANSWER,...]
//                               run EXE and follow its status bar until it ends: the captions and
//                               positions in the order they appeared, the bar's place, whether the
//                               window was hidden; with cancel-at, close the window (cancel-by=
//                               escape: press Escape) once the bar shows TEXT and answer the
//                               question, if one is asked; with shot, save a screenshot of the
//                               window MS after it first showed; with
//                               kill-at, end the process abruptly once the bar shows TEXT; with
//                               every, read the caption only every Nth time the position is read;
//                               with answer-when, answer the question only once the bar's
//                               position has reached POSITION; with click-at, click the German
//                               language button (1027) once the bar shows TEXT; with events,
//                               also write each event to FILE, one line each, as it happens (so
//                               that a test's server can wait for what the window has shown); with
//                               credentials, answer each proxy credentials dialog (Wine's,
//                               titled "Enter Network Password") with the next ANSWER: USER:PASSWORD
//                               fills its two edit fields and presses OK, `cancel` presses Cancel
//                               (a dialog beyond the list is cancelled); reports how many appeared;
//                               also reports the installer's peak working set as last seen while
//                               it ran and the slowest answer of its window to a message
//   driver shot EXE OUT.bmp     run EXE, wait for its main window, save a screenshot of the window
//                               after MS milliseconds (argument 4, default 1500), close it
//   driver shots EXE OUT MS...  run EXE, wait for its main window, save a screenshot OUT-N.bmp of
//                               the window MS milliseconds after it appeared, one for each MS in
//                               turn (N counts from 1), close it; report when each was taken and
//                               how long closing took
//   driver load DLL...          load each DLL by name the way a program that leaves the search as it
//                               is does; report which ones loaded
//   driver buttons EXE OUT.bmp  run EXE, wait for its main window; report every button (id, place
//                               in the client area, visible, type); then show the language buttons,
//                               move the pointer over the English one, save a screenshot, click the
//                               German one and report which buttons are still visible; close it
//   driver scale EXE OUT [dpi=N]
//                               run EXE, wait for its main window and for the bar to show a download
//                               in progress; report the window's DPI and awareness, its size, its
//                               client area, the bar's place and every button's, and save a
//                               screenshot OUT-1.bmp; with dpi, then tell the window that it moved to
//                               a screen of N DPI as Windows does (WM_GETDPISCALEDSIZE, then
//                               WM_DPICHANGED with a window of the size it asked for), and report
//                               and save OUT-2.bmp again; close it
//
// The driver is DPI-aware itself, so that everything it reports is in the screen's own pixels.
//
// EXE may be given as @FILE: FILE holds the program's path in UTF-8. Under Wine, characters
// outside the code page do not survive the command line; a file carries any name. Paths in the
// reports are UTF-8.
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#ifndef WM_GETDPISCALEDSIZE
#define WM_GETDPISCALEDSIZE 0x02E4
#endif

namespace {

constexpr const char* kTitle = "Pellmorrow Installer";

std::wstring Widen(const std::string& text, UINT codePage) {
    int length = MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.c_str(), -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length) - 1);
    return wide;
}

std::string Utf8(const wchar_t* text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], length, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(length) - 1);
    return narrow;
}

// The program named by an EXE argument: a path, or @FILE holding the path in UTF-8.
std::wstring ProgramPath(const char* exe) {
    if (exe[0] != '@') return Widen(exe, CP_ACP);
    std::string path;
    if (FILE* in = std::fopen(exe + 1, "rb")) {
        char piece[512];
        for (size_t got; (got = std::fread(piece, 1, sizeof(piece), in)) > 0;) path.append(piece, got);
        std::fclose(in);
    }
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
    return Widen(path, CP_UTF8);
}

struct Process {
    PROCESS_INFORMATION info{};
    bool Start(const char* exe) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        std::wstring path = ProgramPath(exe);
        std::wstring command = L"\"" + path + L"\"";
        return CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &info);
    }
    ~Process() {
        if (info.hProcess) CloseHandle(info.hProcess);
        if (info.hThread) CloseHandle(info.hThread);
    }
    bool Ended(DWORD waitMs = 0) const { return WaitForSingleObject(info.hProcess, waitMs) == WAIT_OBJECT_0; }
    DWORD ExitCode() const {
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        return code;
    }
};

struct Search {
    DWORD pid;
    const char* title;  // null: any window
    HWND except;
    HWND found;
};

BOOL CALLBACK FindWindowOf(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search->pid) return TRUE;
    if (!IsWindowVisible(window) || window == search->except) return TRUE;
    if (search->title) {
        char text[256] = {};
        GetWindowTextA(window, text, sizeof(text));
        if (std::string(text) != search->title) return TRUE;
    }
    search->found = window;
    return FALSE;
}

HWND FindVisibleWindow(DWORD pid, const char* title, HWND except = nullptr) {
    Search search{pid, title, except, nullptr};
    EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForWindow(const Process& process, const char* title, DWORD timeoutMs, HWND except = nullptr) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
        HWND window = FindVisibleWindow(process.info.dwProcessId, title, except);
        if (window) return window;
        if (process.Ended()) return nullptr;
        Sleep(20);
    }
    return nullptr;
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

int Watch(const char* exe) {
    Process process;
    if (!process.Start(exe)) return 2;
    bool sawVisible = false;
    // Poll as fast as the system lets us: a window shown even briefly must not slip through.
    for (DWORD waited = 0; !process.Ended(1); ++waited) {
        if (FindVisibleWindow(process.info.dwProcessId, nullptr)) sawVisible = true;
        if (waited > 30000) {
            TerminateProcess(process.info.hProcess, 99);
            break;
        }
    }
    std::printf("{\"exitCode\": %lu, \"sawVisibleWindow\": %s}\n", process.ExitCode(), sawVisible ? "true" : "false");
    return 0;
}

// Closes the installer as a user would: the close box, and No to a question if one is asked.
void CloseInstaller(const Process& process, HWND main) {
    PostMessageA(main, WM_CLOSE, 0, 0);
    for (int i = 0; i < 250 && !process.Ended(20); ++i) {
        HWND question = FindVisibleWindow(process.info.dwProcessId, "Warning");
        if (question) PostMessageA(question, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
    }
}

BOOL CALLBACK CollectText(HWND child, LPARAM param) {
    char text[256] = {};
    GetWindowTextA(child, text, sizeof(text));
    reinterpret_cast<std::vector<std::string>*>(param)->push_back(text);
    return TRUE;
}

int About(const char* exe) {
    Process process;
    if (!process.Start(exe)) return 2;
    HWND main = WaitForWindow(process, kTitle, 20000);
    std::string report = "{";
    report += "\"mainWindow\": " + std::string(main ? "true" : "false");
    if (main) {
        // Open the system menu as Alt+Space does and choose its last item from the keyboard
        // (Up from no selection goes to the last item, passing over separators).
        PostMessageA(main, WM_SYSCOMMAND, SC_KEYMENU, ' ');
        HWND popup = nullptr;
        for (int i = 0; i < 250 && !popup; ++i) {
            popup = FindWindowA("#32768", nullptr);
            if (!popup || !IsWindowVisible(popup)) popup = nullptr, Sleep(20);
        }
        report += ", \"systemMenuOpened\": " + std::string(popup ? "true" : "false");
        PostMessageA(main, WM_KEYDOWN, VK_UP, 0);
        PostMessageA(main, WM_KEYDOWN, VK_RETURN, 0);
        HWND about = WaitForWindow(process, kTitle, 10000, main);
        report += ", \"aboutOpened\": " + std::string(about ? "true" : "false");
        if (about) {
            report += ", \"aboutOwnedByMain\": " + std::string(GetWindow(about, GW_OWNER) == main ? "true" : "false");
            report += ", \"mainDisabledWhileAbout\": " + std::string(!IsWindowEnabled(main) ? "true" : "false");
            std::vector<std::string> texts;
            EnumChildWindows(about, CollectText, reinterpret_cast<LPARAM>(&texts));
            std::string list = "[";
            for (size_t i = 0; i < texts.size(); ++i) list += (i ? ", " : "") + Json(texts[i]);
            report += ", \"aboutTexts\": " + list + "]";
            PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            for (int i = 0; i < 250 && IsWindow(about); ++i) Sleep(20);
            report += ", \"aboutClosed\": " + std::string(!IsWindow(about) ? "true" : "false");
        }
        // Enter must not close the main window.
        PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        Sleep(300);
        report += ", \"openAfterEnter\": " + std::string(IsWindow(main) && !process.Ended() ? "true" : "false");
        CloseInstaller(process, main);
    }
    if (!process.Ended(10000)) TerminateProcess(process.info.hProcess, 99);
    report += ", \"exitCode\": " + std::to_string(process.ExitCode()) + "}";
    std::printf("%s\n", report.c_str());
    return 0;
}

std::string BarText(HWND bar) {
    char text[256] = {};
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(bar, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 1000, &length))
        return "";
    return text;
}

std::string JsonList(const std::vector<std::string>& items, bool quote) {
    std::string list = "[";
    for (size_t i = 0; i < items.size(); ++i) list += (i ? ", " : "") + (quote ? Json(items[i]) : items[i]);
    return list + "]";
}

bool SaveWindowBitmap(HWND window, const char* path);

// Wine's proxy credentials dialog.
constexpr const char* kCredentialsTitle = "Enter Network Password";

BOOL CALLBACK CollectEdits(HWND child, LPARAM param) {
    char name[32] = {};
    GetClassNameA(child, name, sizeof(name));
    if (_stricmp(name, "Edit") == 0) reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
    return TRUE;
}

// Answers a credentials dialog as a user would: USER:PASSWORD typed into its first and second
// edit fields, then OK; anything else presses Cancel. False when the fields are not there.
bool AnswerCredentials(HWND dialog, const std::string& answer) {
    const size_t colon = answer.find(':');
    if (answer == "cancel" || colon == std::string::npos) {
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return true;
    }
    std::vector<HWND> edits;
    EnumChildWindows(dialog, CollectEdits, reinterpret_cast<LPARAM>(&edits));
    if (edits.size() < 2) return false;
    const std::string user = answer.substr(0, colon), password = answer.substr(colon + 1);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(edits[0], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(user.c_str()), SMTO_NORMAL, 5000, &ignored);
    SendMessageTimeoutA(edits[1], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(password.c_str()), SMTO_NORMAL, 5000,
                        &ignored);
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return true;
}

struct Titles {
    DWORD pid;
    std::vector<std::string> found;
};

BOOL CALLBACK CollectTitle(HWND window, LPARAM param) {
    auto* titles = reinterpret_cast<Titles*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char text[256] = {};
    if (pid == titles->pid && IsWindowVisible(window) && GetWindowTextA(window, text, sizeof(text)) > 0)
        titles->found.push_back(text);
    return TRUE;
}

// The titles of the process's visible windows: what a run that timed out was showing.
std::string VisibleTitles(DWORD pid) {
    Titles titles{pid, {}};
    EnumWindows(CollectTitle, reinterpret_cast<LPARAM>(&titles));
    std::string list;
    for (const std::string& title : titles.found) list += (list.empty() ? "" : ", ") + title;
    return list;
}

int Session(const char* exe, const std::string& cancelAt, const std::string& cancelBy, const std::string& answer,
            DWORD timeoutMs, const std::string& shot, DWORD shotAfterMs, DWORD pollMs, const std::string& killAt, unsigned every,
            long answerWhen, const std::string& clickAt, const std::vector<std::string>& credentials,
            const std::string& eventsPath) {
    HANDLE eventsFile = INVALID_HANDLE_VALUE;
    if (!eventsPath.empty()) {
        eventsFile = CreateFileA(eventsPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (eventsFile == INVALID_HANDLE_VALUE) return 2;
    }
    struct CloseEvents {
        HANDLE file;
        ~CloseEvents() {
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        }
    } closeEvents{eventsFile};
    Process process;
    if (!process.Start(exe)) return 2;
    std::vector<std::string> captions, positions, events;
    std::string barPlace = "null", question = "null";
    DWORD_PTR paints = 0;  // the bar's own count of its repaints
    SIZE_T peakWorkingSet = 0;
    DWORD slowestReplyMs = 0;
    long barClientWidth = 0;
    unsigned iteration = 0;
    bool hidden = false, cancelled = false, clicked = false, answerPending = false;
    HWND main = nullptr, bar = nullptr, questionBox = nullptr;
    DWORD start = GetTickCount(), shown = 0;
    bool shotTaken = shot.empty();
    auto note = [&](const std::string& what) {
        events.push_back("{\"ms\": " + std::to_string(GetTickCount() - start) + ", \"event\": " + Json(what) + "}");
        if (eventsFile != INVALID_HANDLE_VALUE) {
            const std::string line = what + "\n";
            DWORD written;
            WriteFile(eventsFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
    };
    // The credentials dialog last answered, until it is gone; how many appeared; what the first showed.
    HWND credentialsDialog = nullptr;
    size_t credentialsDialogs = 0;
    std::string credentialsTexts = "null";
    while (!process.Ended(pollMs)) {
        if (GetTickCount() - start > timeoutMs) {
            note("timeout, showing: " + VisibleTitles(process.info.dwProcessId));
            TerminateProcess(process.info.hProcess, 99);
            break;
        }
        if (credentialsDialog && !IsWindow(credentialsDialog)) {
            note("credentials closed");
            credentialsDialog = nullptr;
        }
        if (!credentialsDialog) {
            if (HWND dialog = FindVisibleWindow(process.info.dwProcessId, kCredentialsTitle)) {
                const std::string answer =
                    credentialsDialogs < credentials.size() ? credentials[credentialsDialogs] : "cancel";
                ++credentialsDialogs;
                if (credentialsTexts == "null") {
                    std::vector<std::string> texts;
                    EnumChildWindows(dialog, CollectText, reinterpret_cast<LPARAM>(&texts));
                    credentialsTexts = JsonList(texts, true);
                }
                // The main window may have shown in the same poll as the dialog.
                HWND installer = main ? main : FindVisibleWindow(process.info.dwProcessId, kTitle);
                const bool owned = installer && GetWindow(dialog, GW_OWNER) == installer;
                note("credentials " + std::string(answer == "cancel" ? "cancel" : "ok") + (owned ? " owned" : ""));
                credentialsDialog = dialog;
                if (!AnswerCredentials(dialog, answer)) note("credentials fields missing");
            }
        }
        if (!main) {
            main = FindVisibleWindow(process.info.dwProcessId, kTitle);
            if (!main) continue;
            note("window shown");
            shown = GetTickCount();
            bar = GetDlgItem(main, 1000);
            RECT rect;
            GetWindowRect(bar, &rect);
            MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&rect), 2);
            RECT client;
            GetClientRect(bar, &client);
            barClientWidth = client.right;
            barPlace = "[" + std::to_string(rect.left) + ", " + std::to_string(rect.top) + ", " +
                       std::to_string(rect.right - rect.left) + ", " + std::to_string(rect.bottom - rect.top) + "]";
        }
        if (!IsWindow(bar)) continue;
        // A benchmark asks for the caption and the paint count less often than the position,
        // to disturb the window's thread as little as it can.
        bool full = ++iteration % every == 0;
        std::string caption = full ? BarText(bar) : std::string();
        if (!caption.empty() && (captions.empty() || captions.back() != caption)) {
            captions.push_back(caption);
            note("caption " + caption);
        }
        PROCESS_MEMORY_COUNTERS memory{};
        if (GetProcessMemoryInfo(process.info.hProcess, &memory, sizeof(memory)))
            peakWorkingSet = std::max(peakWorkingSet, memory.PeakWorkingSetSize);
        DWORD_PTR position = 0;
        DWORD asked = GetTickCount();
        bool answered = SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 5000, &position);
        if (IsWindow(bar)) slowestReplyMs = std::max(slowestReplyMs, GetTickCount() - asked);
        if (answerPending && questionBox && answered && static_cast<long>(position) >= answerWhen) {
            answerPending = false;
            note("answer " + answer + " at " + std::to_string(position));
            PostMessageA(questionBox, WM_COMMAND, MAKEWPARAM(answer == "yes" ? IDYES : IDNO, BN_CLICKED), 0);
        }
        if (answered) {
            std::string text = std::to_string(position);
            if (positions.empty() || positions.back() != text) {
                positions.push_back(text);
                note("position " + text);
                full = true;  // the bar repaints for a new position: read its count below
            }
        }
        if (!shotTaken && GetTickCount() - shown >= shotAfterMs && IsWindowVisible(main)) {
            shotTaken = true;
            note(SaveWindowBitmap(main, shot.c_str()) ? "screenshot" : "screenshot failed");
        }
        DWORD_PTR count = 0;
        if (full && SendMessageTimeoutA(bar, WM_USER + 102, 0, 0, SMTO_NORMAL, 1000, &count) && count > paints)
            paints = count;
        if (questionBox && !IsWindow(questionBox)) {
            note("question closed");
            questionBox = nullptr;
        }
        if (!hidden && !IsWindowVisible(main)) {
            hidden = true;
            note("window hidden");
        }
        if (!clicked && !clickAt.empty() && caption == clickAt) {
            clicked = true;
            note("click 1027");
            PostMessageA(main, WM_COMMAND, MAKEWPARAM(1027, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(main, 1027)));
        }
        if (!killAt.empty() && caption == killAt) {
            note("killed");
            TerminateProcess(process.info.hProcess, 77);
            WaitForSingleObject(process.info.hProcess, 10000);
            break;
        }
        if (!cancelled && !cancelAt.empty() && caption == cancelAt) {
            cancelled = true;
            if (cancelBy == "escape") {
                // The key goes where a typed one would: to the window that has the focus.
                GUITHREADINFO thread{sizeof(thread)};
                bool known = GetGUIThreadInfo(process.info.dwThreadId, &thread) && thread.hwndFocus;
                HWND focus = known ? thread.hwndFocus : main;
                note("escape");
                PostMessageA(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
                PostMessageA(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
            } else {
                note("close box");
                PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
            }
            HWND box = nullptr;
            for (int i = 0; i < 100 && !box && !process.Ended(0); ++i) {
                box = FindVisibleWindow(process.info.dwProcessId, "Warning");
                if (!box) Sleep(20);
            }
            if (box) {
                std::vector<std::string> texts;
                EnumChildWindows(box, CollectText, reinterpret_cast<LPARAM>(&texts));
                question = JsonList(texts, true);
                note("answer " + answer);
                questionBox = box;
                if (answerWhen >= 0)
                    answerPending = answer != "none";
                else if (answer != "none")
                    PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer == "yes" ? IDYES : IDNO, BN_CLICKED), 0);
            }
        }
    }
    if (process.Ended()) note("ended");
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    std::printf("{\"captions\": %s, \"positions\": %s, \"barPlace\": %s, \"hidden\": %s, \"question\": %s, "
                "\"events\": %s, \"paints\": %lu, \"barClientWidth\": %ld, \"tempDir\": %s, \"exitCode\": %lu, "
                "\"peakWorkingSet\": %lu, \"slowestReplyMs\": %lu, \"credentialsDialogs\": %lu, "
                "\"credentialsTexts\": %s}\n",
                JsonList(captions, true).c_str(), JsonList(positions, false).c_str(), barPlace.c_str(),
                hidden ? "true" : "false", question.c_str(), JsonList(events, false).c_str(),
                static_cast<unsigned long>(paints), barClientWidth, Json(Utf8(temp)).c_str(),
                process.ExitCode(), static_cast<unsigned long>(peakWorkingSet), slowestReplyMs,
                static_cast<unsigned long>(credentialsDialogs), credentialsTexts.c_str());
    return 0;
}

// What the screen shows where a window lies: 24-bit rows, bottom up, each padded to 4 bytes.
struct WindowPixels {
    BITMAPINFOHEADER header{};
    std::vector<BYTE> bits;
    DWORD Stride() const { return (static_cast<DWORD>(header.biWidth) * 3 + 3) & ~3u; }
    // The colour at (x, y) from the window's top left.
    DWORD At(int x, int y) const {
        const BYTE* p = bits.data() + Stride() * static_cast<DWORD>(header.biHeight - 1 - y) + 3 * x;
        return p[0] | p[1] << 8 | p[2] << 16;
    }
};

WindowPixels CaptureWindow(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    WindowPixels pixels;
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    pixels.header = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = pixels.header;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
        GdiFlush();
        SelectObject(memory, old);
        pixels.bits.assign(static_cast<BYTE*>(bits), static_cast<BYTE*>(bits) + pixels.Stride() * height);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

bool WriteBitmap(const WindowPixels& pixels, const char* path) {
    if (pixels.bits.empty()) return false;
    DWORD size = static_cast<DWORD>(pixels.bits.size());
    BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + size), 0, 0,
                          sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    FILE* out = std::fopen(path, "wb");
    bool ok = out && std::fwrite(&file, sizeof(file), 1, out) == 1 &&
              std::fwrite(&pixels.header, sizeof(pixels.header), 1, out) == 1 &&
              std::fwrite(pixels.bits.data(), size, 1, out) == 1;
    if (out) std::fclose(out);
    return ok;
}

bool SaveWindowBitmap(HWND window, const char* path) { return WriteBitmap(CaptureWindow(window), path); }

int Shot(const char* exe, const char* path, DWORD delayMs) {
    Process process;
    if (!process.Start(exe)) return 2;
    HWND main = WaitForWindow(process, kTitle, 20000);
    bool saved = false;
    RECT window{}, client{};
    POINT origin{};
    if (main) {
        Sleep(delayMs);
        saved = SaveWindowBitmap(main, path);
        GetWindowRect(main, &window);
        GetClientRect(main, &client);
        ClientToScreen(main, &origin);
        CloseInstaller(process, main);
    }
    if (!process.Ended(10000)) TerminateProcess(process.info.hProcess, 99);
    std::printf("{\"mainWindow\": %s, \"saved\": %s, \"window\": [%ld, %ld], \"client\": [%ld, %ld], "
                "\"clientOrigin\": [%ld, %ld], \"exitCode\": %lu}\n",
                main ? "true" : "false", saved ? "true" : "false", window.right - window.left,
                window.bottom - window.top, client.right, client.bottom, origin.x - window.left,
                origin.y - window.top, process.ExitCode());
    return 0;
}

// Screenshots at chosen moments, for a window whose look changes over time (the slideshow).
int Shots(const char* exe, const std::string& out, const std::vector<DWORD>& moments) {
    Process process;
    if (!process.Start(exe)) return 2;
    HWND main = WaitForWindow(process, kTitle, 20000);
    DWORD shown = GetTickCount();
    std::vector<std::string> taken;
    bool saved = main != nullptr;
    POINT origin{};
    RECT window{};
    DWORD closeMs = 0;
    if (main) {
        for (size_t i = 0; i < moments.size(); ++i) {
            DWORD elapsed = GetTickCount() - shown;
            if (moments[i] > elapsed) Sleep(moments[i] - elapsed);
            taken.push_back(std::to_string(GetTickCount() - shown));
            saved = SaveWindowBitmap(main, (out + "-" + std::to_string(i + 1) + ".bmp").c_str()) && saved;
        }
        GetWindowRect(main, &window);
        ClientToScreen(main, &origin);
        DWORD closing = GetTickCount();
        CloseInstaller(process, main);
        closeMs = GetTickCount() - closing;
    }
    if (!process.Ended(10000)) TerminateProcess(process.info.hProcess, 99);
    std::printf("{\"mainWindow\": %s, \"saved\": %s, \"takenMs\": %s, \"clientOrigin\": [%ld, %ld], "
                "\"closeMs\": %lu, \"exitCode\": %lu}\n",
                main ? "true" : "false", saved ? "true" : "false", JsonList(taken, false).c_str(),
                origin.x - window.left, origin.y - window.top, closeMs, process.ExitCode());
    return 0;
}

struct ButtonSeen {
    int id;
    RECT place;
    bool visible;
    LONG type;
};

std::vector<ButtonSeen> ButtonsOf(HWND main) {
    std::vector<ButtonSeen> seen;
    for (HWND child = GetWindow(main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char className[32] = {};
        GetClassNameA(child, className, sizeof(className));
        if (lstrcmpiA(className, "Button") != 0) continue;
        RECT place;
        GetWindowRect(child, &place);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&place), 2);
        seen.push_back({GetDlgCtrlID(child), place, IsWindowVisible(child) != FALSE, GetWindowLongA(child, GWL_STYLE) & 0x1F});
    }
    return seen;
}

int Buttons(const char* exe, const char* path) {
    Process process;
    if (!process.Start(exe)) return 2;
    HWND main = WaitForWindow(process, kTitle, 20000);
    std::vector<std::string> before, after;
    bool saved = false;
    RECT window{};
    POINT origin{};
    if (main) {
        Sleep(500);
        for (const ButtonSeen& b : ButtonsOf(main))
            before.push_back("[" + std::to_string(b.id) + ", " + std::to_string(b.place.left) + ", " +
                             std::to_string(b.place.top) + ", " + std::to_string(b.place.right - b.place.left) + ", " +
                             std::to_string(b.place.bottom - b.place.top) + ", " + (b.visible ? "true" : "false") +
                             ", " + std::to_string(b.type) + "]");
        // The pointer starts away from the window, so that only the move below can make a button hot.
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
        Sleep(100);
        for (int id = 1024; id <= 1036; ++id) ShowWindow(GetDlgItem(main, id), SW_SHOWNA);
        Sleep(300);
        RECT english;
        GetWindowRect(GetDlgItem(main, 1025), &english);
        SetCursorPos((english.left + english.right) / 2, (english.top + english.bottom) / 2);
        Sleep(700);
        saved = SaveWindowBitmap(main, path);
        GetWindowRect(main, &window);
        ClientToScreen(main, &origin);
        SendMessageA(GetDlgItem(main, 1027), BM_CLICK, 0, 0);
        Sleep(300);
        for (const ButtonSeen& b : ButtonsOf(main))
            if (b.visible) after.push_back(std::to_string(b.id));
        CloseInstaller(process, main);
    }
    if (!process.Ended(10000)) TerminateProcess(process.info.hProcess, 99);
    std::printf("{\"mainWindow\": %s, \"saved\": %s, \"buttons\": %s, \"visibleAfterClick\": %s, "
                "\"clientOrigin\": [%ld, %ld], \"exitCode\": %lu}\n",
                main ? "true" : "false", saved ? "true" : "false", JsonList(before, false).c_str(),
                JsonList(after, false).c_str(), origin.x - window.left, origin.y - window.top, process.ExitCode());
    return 0;
}

template <typename Function>
Function User32Function(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("user32.dll"), name)));
}

std::string RectJson(const RECT& r) {
    return "[" + std::to_string(r.left) + ", " + std::to_string(r.top) + ", " + std::to_string(r.right - r.left) +
           ", " + std::to_string(r.bottom - r.top) + "]";
}

// The window's DPI, awareness (0 unaware, 1 system, 2 per monitor; -1 not known), size, client
// area, the bar's and the buttons' places in the client area, and the bar's caption and position.
std::string LayoutJson(HWND main) {
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    using GetContextFunction = HANDLE(WINAPI*)(HWND);
    using AwarenessFunction = int(WINAPI*)(HANDLE);
    using EqualFunction = BOOL(WINAPI*)(HANDLE, HANDLE);
    auto getDpi = User32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    auto getContext = User32Function<GetContextFunction>("GetWindowDpiAwarenessContext");
    auto awarenessOf = User32Function<AwarenessFunction>("GetAwarenessFromDpiAwarenessContext");
    auto equal = User32Function<EqualFunction>("AreDpiAwarenessContextsEqual");
    HANDLE context = getContext ? getContext(main) : nullptr;
    int awareness = context && awarenessOf ? awarenessOf(context) : -1;
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
    bool v2 = context && equal && equal(context, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)));
    RECT window, client, bar;
    GetWindowRect(main, &window);
    GetClientRect(main, &client);
    POINT origin{};
    ClientToScreen(main, &origin);
    HWND barWindow = GetDlgItem(main, 1000);
    GetWindowRect(barWindow, &bar);
    MapWindowPoints(nullptr, main, reinterpret_cast<POINT*>(&bar), 2);
    std::vector<std::string> buttons;
    for (const ButtonSeen& b : ButtonsOf(main))
        buttons.push_back("[" + std::to_string(b.id) + ", " + std::to_string(b.place.left) + ", " +
                          std::to_string(b.place.top) + ", " + std::to_string(b.place.right - b.place.left) + ", " +
                          std::to_string(b.place.bottom - b.place.top) + "]");
    DWORD_PTR position = 0;
    SendMessageTimeoutA(barWindow, PBM_GETPOS, 0, 0, SMTO_NORMAL, 5000, &position);
    return "{\"dpi\": " + std::to_string(getDpi ? getDpi(main) : 0) + ", \"awareness\": " +
           std::to_string(awareness) + ", \"perMonitorV2\": " + (v2 ? "true" : "false") +
           ", \"window\": " + RectJson(window) + ", \"client\": [" + std::to_string(client.right) + ", " +
           std::to_string(client.bottom) + "], \"clientOrigin\": [" + std::to_string(origin.x - window.left) +
           ", " + std::to_string(origin.y - window.top) + "], \"bar\": " + RectJson(bar) +
           ", \"caption\": " + Json(BarText(barWindow)) + ", \"position\": " + std::to_string(position) +
           ", \"buttons\": " + JsonList(buttons, false) + "}";
}

// Waits until `window` and its children have painted what is pending: the window's thread has
// handled the paint requests before it answers.
void WaitForPaint(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
}

// Whether the top left of the client area (where the start-up picture lies) shows more than a
// background colour.
bool PictureShows(HWND window, const WindowPixels& pixels) {
    RECT rect, client;
    GetWindowRect(window, &rect);
    GetClientRect(window, &client);
    POINT origin{};
    ClientToScreen(window, &origin);
    const int left = origin.x - rect.left, top = origin.y - rect.top;
    std::vector<DWORD> colours;
    for (int y = top; y < top + client.bottom / 4 && y < pixels.header.biHeight; ++y)
        for (int x = left; x < left + client.right / 3 && x < pixels.header.biWidth; ++x) {
            DWORD colour = pixels.At(x, y);
            if (std::find(colours.begin(), colours.end(), colour) == colours.end()) colours.push_back(colour);
            if (colours.size() > 8) return true;
        }
    return false;
}

// Saves the window once it has painted and its picture has reached the screen: Wine hands a
// window's pixels to the display when its thread next waits, which under load may come after
// the paint that the window's thread has already answered for. Gives up after about 10 s and
// saves what shows then.
bool SavePaintedWindowBitmap(HWND window, const char* path) {
    WindowPixels pixels;
    for (int i = 0; i < 200; ++i) {
        WaitForPaint(window);
        pixels = CaptureWindow(window);
        if (PictureShows(window, pixels)) break;
        Sleep(50);
    }
    return WriteBitmap(pixels, path);
}

// A block of the installer's memory for a message's pointer. It is reserved at the same address
// in this process and holds the same bytes there: whether or not the system copies the pointed-to
// data across for this message, the window reads the same rectangle or size.
class SharedBlock {
public:
    SharedBlock(HANDLE process, SIZE_T size) : process_(process), size_(size) {
        // A block the installer has free where this process has not is kept until the end, so
        // that the next one lies elsewhere.
        std::vector<void*> taken;
        for (int i = 0; i < 256 && !local_; ++i) {
            remote_ = VirtualAllocEx(process, nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
            if (!remote_) break;
            local_ = VirtualAlloc(remote_, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
            if (!local_) taken.push_back(std::exchange(remote_, nullptr));
        }
        for (void* block : taken) VirtualFreeEx(process, block, 0, MEM_RELEASE);
    }
    ~SharedBlock() {
        if (local_) VirtualFree(local_, 0, MEM_RELEASE);
        if (remote_) VirtualFreeEx(process_, remote_, 0, MEM_RELEASE);
    }
    bool Write(const void* data) {
        if (!local_) return false;
        std::memcpy(local_, data, size_);
        SIZE_T written = 0;
        return WriteProcessMemory(process_, remote_, data, size_, &written) && written == size_;
    }
    bool Read(void* data) const {
        SIZE_T read = 0;
        return local_ && ReadProcessMemory(process_, remote_, data, size_, &read) && read == size_;
    }
    LPARAM Address() const { return reinterpret_cast<LPARAM>(remote_); }

private:
    HANDLE process_;
    SIZE_T size_;
    void* remote_ = nullptr;
    void* local_ = nullptr;
};

int Scale(const char* exe, const std::string& out, UINT newDpi) {
    Process process;
    if (!process.Start(exe)) return 2;
    HWND main = WaitForWindow(process, kTitle, 20000);
    std::string before = "null", after = "null", askedSize = "null";
    bool inProgress = false, saved = false;
    if (main) {
        HWND bar = GetDlgItem(main, 1000);
        for (int i = 0; i < 1000 && !inProgress && !process.Ended(); ++i) {
            DWORD_PTR position = 0;
            inProgress = BarText(bar).rfind("Download in progress...", 0) == 0 &&
                         SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 5000, &position) && position > 0;
            if (!inProgress) Sleep(20);
        }
        saved = SavePaintedWindowBitmap(main, (out + "-1.bmp").c_str());
        before = LayoutJson(main);
        if (newDpi) {
            SharedBlock sizeBlock(process.info.hProcess, sizeof(SIZE));
            SIZE size{0, 0};
            DWORD_PTR answer = 0;
            if (sizeBlock.Write(&size) &&
                SendMessageTimeoutA(main, WM_GETDPISCALEDSIZE, newDpi, sizeBlock.Address(), SMTO_NORMAL, 5000, &answer) &&
                answer && sizeBlock.Read(&size))
                askedSize = "[" + std::to_string(size.cx) + ", " + std::to_string(size.cy) + "]";
            RECT window;
            GetWindowRect(main, &window);
            RECT suggested{window.left, window.top, window.left + size.cx, window.top + size.cy};
            SharedBlock rectBlock(process.info.hProcess, sizeof(RECT));
            DWORD_PTR ignored = 0;
            if (size.cx > 0 && rectBlock.Write(&suggested) &&
                SendMessageTimeoutA(main, WM_DPICHANGED, MAKEWPARAM(newDpi, newDpi), rectBlock.Address(), SMTO_NORMAL,
                                    5000, &ignored)) {
                saved = SavePaintedWindowBitmap(main, (out + "-2.bmp").c_str()) && saved;
                after = LayoutJson(main);
            }
        }
        CloseInstaller(process, main);
    }
    if (!process.Ended(10000)) TerminateProcess(process.info.hProcess, 99);
    std::printf("{\"mainWindow\": %s, \"inProgress\": %s, \"saved\": %s, \"before\": %s, \"askedSize\": %s, "
                "\"after\": %s, \"exitCode\": %lu}\n",
                main ? "true" : "false", inProgress ? "true" : "false", saved ? "true" : "false", before.c_str(),
                askedSize.c_str(), after.c_str(), process.ExitCode());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using SetContextFunction = BOOL(WINAPI*)(HANDLE);
    auto setContext = User32Function<SetContextFunction>("SetProcessDpiAwarenessContext");
    if (!setContext || !setContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) SetProcessDPIAware();
    if (argc == 3 && std::string(argv[1]) == "watch") return Watch(argv[2]);
    if (argc == 3 && std::string(argv[1]) == "about") return About(argv[2]);
    if (argc >= 3 && std::string(argv[1]) == "session") {
        std::string cancelAt, cancelBy = "close", answer = "no", shot, killAt, clickAt, eventsPath;
        DWORD timeout = 60000, shotAfter = 2000, poll = 2;
        long answerWhen = -1;
        unsigned every = 1;
        std::vector<std::string> credentials;
        for (int i = 3; i < argc; ++i) {
            std::string option = argv[i];
            if (option.rfind("cancel-at=", 0) == 0) cancelAt = option.substr(10);
            if (option.rfind("cancel-by=", 0) == 0) cancelBy = option.substr(10);
            if (option.rfind("answer=", 0) == 0) answer = option.substr(7);
            if (option.rfind("timeout=", 0) == 0) timeout = static_cast<DWORD>(std::atoi(option.c_str() + 8));
            if (option.rfind("shot=", 0) == 0) shot = option.substr(5);
            if (option.rfind("kill-at=", 0) == 0) killAt = option.substr(8);
            if (option.rfind("every=", 0) == 0) every = std::max(1, std::atoi(option.c_str() + 6));
            if (option.rfind("poll=", 0) == 0) poll = static_cast<DWORD>(std::atoi(option.c_str() + 5));
            if (option.rfind("shot-after=", 0) == 0) shotAfter = static_cast<DWORD>(std::atoi(option.c_str() + 11));
            if (option.rfind("answer-when=", 0) == 0) answerWhen = std::atol(option.c_str() + 12);
            if (option.rfind("click-at=", 0) == 0) clickAt = option.substr(9);
            if (option.rfind("events=", 0) == 0) eventsPath = option.substr(7);
            if (option.rfind("credentials=", 0) == 0) {
                std::string list = option.substr(12);
                for (size_t begin = 0, end; begin <= list.size(); begin = end + 1) {
                    end = list.find(',', begin);
                    if (end == std::string::npos) end = list.size();
                    credentials.push_back(list.substr(begin, end - begin));
                }
            }
        }
        return Session(argv[2], cancelAt, cancelBy, answer, timeout, shot, shotAfter, poll, killAt, every, answerWhen,
                       clickAt, credentials, eventsPath);
    }
    if ((argc == 4 || argc == 5) && std::string(argv[1]) == "shot")
        return Shot(argv[2], argv[3], argc == 5 ? static_cast<DWORD>(std::atoi(argv[4])) : 1500);
    if (argc == 4 && std::string(argv[1]) == "buttons") return Buttons(argv[2], argv[3]);
    if (argc >= 3 && std::string(argv[1]) == "load") {
        std::vector<std::string> loaded;
        for (int i = 2; i < argc; ++i)
            if (LoadLibraryA(argv[i])) loaded.push_back(argv[i]);
        std::printf("{\"loaded\": %s}\n", JsonList(loaded, true).c_str());
        return 0;
    }
    if ((argc == 4 || argc == 5) && std::string(argv[1]) == "scale") {
        UINT dpi = argc == 5 && std::string(argv[4]).rfind("dpi=", 0) == 0 ? std::atoi(argv[4] + 4) : 0;
        return Scale(argv[2], argv[3], dpi);
    }
    if (argc >= 5 && std::string(argv[1]) == "shots") {
        std::vector<DWORD> moments;
        for (int i = 4; i < argc; ++i) moments.push_back(static_cast<DWORD>(std::atoi(argv[i])));
        return Shots(argv[2], argv[3], moments);
    }
    std::fprintf(stderr, "usage: driver watch|about EXE | shot EXE OUT.bmp [MS]\n");
    return 2;
}
