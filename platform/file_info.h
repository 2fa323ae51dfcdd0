// What is at a path, as stat(2) sees it (links followed), and removing a file.
#pragma once

#include <string>

namespace platform {

bool pathExists(const std::string& path);
bool isDirectory(const std::string& path);
bool isRegularFile(const std::string& path);
// Whether nothing is at the path, links not followed (a dangling link is something); false
// also when the system cannot tell.
bool isAbsent(const std::string& path);
// unlink(2): false when nothing was removed.
bool removeFile(const std::string& path);

}  // namespace platform
