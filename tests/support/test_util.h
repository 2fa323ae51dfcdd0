// Small helpers shared by the tests.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testutil {

// Captures log lines while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> lines() const;
    bool contains(const std::string& line) const;
    bool containsSubstring(const std::string& part) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A fresh folder below the test's home, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

// Runs the main loop until `done` or the time-out; answers done().
bool spinUntil(const std::function<bool()>& done, double timeoutSeconds = 10.0);

// A connection of its own to the bus (another peer beside this process's shared one); null, with
// a test failure, when it cannot be made.
GDBusConnection* newBusConnection(GBusType bus);

// The source tree and the assembled bundle of the build.
std::string sourceDir();
std::string bundleDir();

}  // namespace testutil
