// Facts about the running system that no file holds.
#pragma once

#include <optional>
#include <string>

namespace platform {

// The kernel's name of the machine's hardware ("x86_64", "aarch64"); absent when unknown.
std::optional<std::string> machineArchitecture();

}  // namespace platform
