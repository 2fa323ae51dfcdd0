// A full disk for tests: work run in a child process on a small file system of its own (a tmpfs
// mounted in a private mount namespace: directly as root, else inside a user namespace), where
// writes fail with ENOSPC as they do on a real full disk.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace testutil {

// Runs `work` in a child process with a fresh tmpfs of `bytes` mounted at `folder` (the child's
// view only); answers the text `work` returns, or absent when no such file system can be made
// here (the reason in `why`). The child does not share the test's threads: `work` calls the code
// under test directly and reports what it saw in its answer.
std::optional<std::string> onSmallDisk(std::size_t bytes, const std::function<std::string(const std::string& folder)>& work,
                                       std::string* why = nullptr);

// Fills the file system of `folder` with the file `filler` until `room` bytes are left (rounded
// to whole pages by the file system); true when it got there.
bool fillDisk(const std::string& filler, std::size_t room);

}  // namespace testutil
