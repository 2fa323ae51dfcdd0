// Modules loaded at run time, and the folder of the library that holds the program's code (the
// build folder, or the installed library folder), where its modules lie.
#pragma once

#include <string>

namespace platform {

// Empty when the system cannot tell.
std::string codeLibraryFolder();
// Loads the module (all its symbols resolved now, none of them made global) and answers the
// address of `symbol` in it; null when either is missing, `error` then says why. A module loaded
// here stays loaded to the end of the process.
void* loadModuleSymbol(const std::string& path, const char* symbol, std::string* error = nullptr);

}  // namespace platform
