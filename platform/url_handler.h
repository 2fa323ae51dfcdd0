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

// The text of a desktop entry that starts `program` with the URL (Exec "<program> %u", the program
// quoted as the desktop entry format wants), declares the schemes and shows `icon`; kept out of the menus.
std::string schemeHandlerDesktopEntry(const std::string& program, const std::string& icon,
                                      const std::vector<std::string>& schemes);

// The desktop id (without ".desktop") this program gives its entries of the id `id` (by default
// the bundle identifier, the entry that handles its schemes): `id` itself when installed; run from
// its build tree, an id of its own ("<id>.Devel"), so that a build tree never hides or takes over
// the installed application's entries, schemes and start at login.
std::string desktopEntryId(const std::string& id = KIVANO_BUNDLE_ID);

// Writes that entry for `program` as <data home>/applications/<desktopEntryId()>.desktop unless
// the file holds it already. Answers whether the file holds it afterwards.
bool writeSchemeHandlerDesktopEntry(const std::string& program, const std::vector<std::string>& schemes);

// Only when the program runs from its build tree: writes its desktop entry as above. An installed
// program relies on the entry installed with it and leaves the user's entries alone.
void installDesktopEntryIfRunFromBuildTree(const std::vector<std::string>& schemes);

}  // namespace platform
