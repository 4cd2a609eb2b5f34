#pragma once
// A folder of a test's own under the temporary folder, made when missing.
#include <windows.h>

#include <string>

inline std::wstring TestFolder(const wchar_t* name) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}
