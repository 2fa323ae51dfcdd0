#include "platform/system_info.h"

#include <sys/utsname.h>

namespace platform {

std::optional<std::string> machineArchitecture() {
    utsname u{};
    if (::uname(&u) != 0 || !*u.machine) return std::nullopt;
    return std::string(u.machine);
}

}  // namespace platform
