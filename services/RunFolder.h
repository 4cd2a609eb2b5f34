#pragma once
// A folder of this run's own under the temporary folder, for the setup program: its name cannot
// be guessed, it is made new (never one that already exists, never reused), and while the run
// lasts nobody can rename or delete it. The setup program then starts with nothing beside it but
// what this run put there, and two installers running at once never meet.
#include "framework/Handles.h"

#include <string>

class RunFolder {
public:
    RunFolder() = default;
    // Removes the folder (see Remove).
    ~RunFolder() { Remove(); }
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    // Makes the folder in `parent`; false when none could be made there (nor is one tried again:
    // the download then fails).
    bool Create(const std::wstring& parent);
    // Empty until Create succeeded and after Remove.
    const std::wstring& Path() const { return path; }
    // Deletes the folder if it is empty: never what is still inside it. Nobody could rename or
    // delete it while it was held, so it is the one this run made.
    void Remove();

private:
    std::wstring path;
    // Held open without sharing the right to delete: the folder cannot be renamed or deleted.
    UniqueHandle held;
    BY_HANDLE_FILE_INFORMATION identity{};
};
