#pragma once
// Paths and commands of the start-up, kept free of window code.
#include <string>

// `directory` + `name` with exactly one backslash between them.
std::string JoinPath(const std::string& directory, const std::string& name);

// The quoted command that launches the installed game: "<installDir>\<productName>.exe".
std::string InstalledGameCommand(const std::string& installDir, const std::string& productName);
