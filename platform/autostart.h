// Start at login through an XDG autostart entry: $XDG_CONFIG_HOME/autostart/<id>.desktop.
#pragma once

#include <string>

namespace platform {

std::string autostartEntryPath(const std::string& id);

// The entry exists, is readable as a desktop entry, is not Hidden and not disabled
// (X-GNOME-Autostart-enabled=false).
bool isAutostartEntryEnabled(const std::string& id);

// With `enabled`, writes the entry whose Exec runs `program` with `arguments`; without, removes it
// (an absent entry counts as removed). Answers whether the change was made; `error` tells why not.
bool setAutostartEntry(const std::string& id, bool enabled, const std::string& name, const std::string& program,
                       const std::string& arguments, std::string* error = nullptr);

// One argument of a desktop entry's Exec line, quoted when needed.
std::string desktopExecQuote(const std::string& argument);

}  // namespace platform
