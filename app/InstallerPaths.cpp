#include "app/InstallerPaths.h"

std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
    if (directory.empty() || directory.back() == L'\\' || directory.back() == L'/') return directory + name;
    return directory + L'\\' + name;
}

std::wstring InstalledGameCommand(const std::wstring& installDir, const std::wstring& productName) {
    // Quoted as a whole, so that a folder with spaces in its name reaches the shell intact.
    return L'"' + installDir + L'\\' + productName + L".exe\"";
}
