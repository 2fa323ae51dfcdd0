// The per-user folders the file plug-in maps its filesystems onto.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// A private folder of this user (mode 0700, owned by the user, not a link) below GLib's
// temporary folder, created when missing; absent when no such folder can be had.
std::optional<std::string> userTemporaryFolder();

// Makes a folder of the application's own (settings, data, caches...) with its missing parents,
// mode 0700; an existing one of this user is set to 0700 too (losing any group and other
// permissions). False when there is no folder at the path afterwards; `error` then holds the
// system's description.
bool makeApplicationFolder(const std::string& path, std::string* error = nullptr);

enum class SupportFolderKind { ApplicationSupport, Caches };
// The user's folder of the kind ($XDG_DATA_HOME or $XDG_CACHE_HOME), then the bundle identifier,
// then `components` (joined with "/" when not empty); created with its parents when missing, the
// application's folders among them private (makeApplicationFolder).
// Absent when it cannot be created; `error` then holds the system's description.
std::optional<std::string> supportFolder(SupportFolderKind kind, const std::string& components,
                                         std::string* error = nullptr);

// Free bytes for an unprivileged user on the volume holding `path`; absent when unknown.
std::optional<std::uint64_t> freeDiskSpace(const std::string& path);

// The path with symbolic links, "." and ".." resolved (realpath(3)); absent when it, or a folder
// on the way, does not exist or cannot be read.
std::optional<std::string> realPath(const std::string& path);
// The path with symbolic links, "." and ".." resolved as far as it exists; the part that does
// not exist is appended as it stands.
std::string resolveSymlinks(const std::string& path);

// "file://" URL of a local path, ending with "/" when the path is an existing directory.
std::string fileURLForPath(const std::string& path);

}  // namespace platform
