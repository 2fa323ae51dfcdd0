// The default handler of URL schemes (x-scheme-handler/<scheme>) through GIO, and the
// application's desktop entry that declares the schemes.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// The desktop id of the scheme's default application, without ".desktop"; absent when none.
std::optional<std::string> defaultHandlerForURLScheme(const std::string& scheme);
// Makes the application with this desktop id (without ".desktop") the scheme's default.
bool setDefaultHandlerForURLScheme(const std::string& scheme, const std::string& desktopId);

// When the program runs from its build tree, writes <data home>/applications/<id>.desktop
// whose Exec starts this program and which declares the schemes; an installed program ships its own.
void installDesktopEntryIfRunFromBuildTree(const std::vector<std::string>& schemes);

}  // namespace platform
