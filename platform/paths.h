// Per-user folders, following HOME and the XDG variables.
#pragma once

#include <string>

#include "platform/atomic_file.h"

namespace platform {

std::string homeDir();
std::string configHome();  // $XDG_CONFIG_HOME or ~/.config
std::string dataHome();    // $XDG_DATA_HOME or ~/.local/share
std::string cacheHome();   // $XDG_CACHE_HOME or ~/.cache
std::string documentsDir();  // the XDG documents folder
std::string executablePath();

// A folder path as a user writes it, made absolute: a leading "~" or "~/" stands for the home
// folder, and a relative path is taken below the home folder (never below the working folder).
std::string expandHomePath(const std::string& path);

// Creates the folder and its parents (mode 0700 for new ones); answers whether it exists afterwards.
bool makeDirs(const std::string& path);

bool readFile(const std::string& path, std::string& content);

}  // namespace platform
