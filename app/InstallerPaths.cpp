#include "app/InstallerPaths.h"

std::string JoinPath(const std::string& directory, const std::string& name) {
    if (directory.empty() || directory.back() == '\\' || directory.back() == '/') return directory + name;
    return directory + '\\' + name;
}

std::string InstalledGameCommand(const std::string& installDir, const std::string& productName) {
    // Quoted as a whole, so that a folder with spaces in its name reaches the shell intact.
    return '"' + installDir + '\\' + productName + ".exe\"";
}
