#pragma once
// Paths and commands of the start-up, kept free of window code. Paths are UTF-16, as the
// system's wide calls take them, so that a folder with any characters in its name works.
#include <cstdint>
#include <string>

// Room for the longest path the system's wide calls take: 32767 characters and the NUL.
constexpr uint32_t kMaxPathBuffer = 32768;

// A path from a call that fills a buffer and says how long the path is, read into a buffer that
// grows as asked, so that a path of any length fits. `fill(buffer, size)` returns the path's
// length without its NUL when it fitted, the size it needs (NUL included) when it did not, 0 on
// failure. Empty on failure or when more than kMaxPathBuffer is asked for. The buffer grows
// with every round, so an answer that changes between two calls (an environment edited, a
// directory renamed) cannot keep it going.
template <typename Fill>
std::wstring GrowingPath(Fill fill) {
    std::wstring path(260, L'\0');
    for (;;) {
        const uint32_t length = fill(&path[0], static_cast<uint32_t>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (length > kMaxPathBuffer) return std::wstring();
        path.assign(length + 1, L'\0');
    }
}

// `directory` + `name` with exactly one backslash between them.
std::wstring JoinPath(const std::wstring& directory, const std::wstring& name);

// The quoted command that launches the installed game: "<installDir>\<productName>.exe".
std::wstring InstalledGameCommand(const std::wstring& installDir, const std::wstring& productName);
