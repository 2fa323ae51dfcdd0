#include "tests/support/test_util.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/dispatch.h"
#include "platform/log.h"

namespace testutil {

LogCapture::LogCapture() {
    platform::setLogSink([this](const std::string& line) {
        {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        }
        std::fprintf(stderr, "[log] %s\n", line.c_str());
    });
}

LogCapture::~LogCapture() { platform::setLogSink(nullptr); }

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool LogCapture::contains(const std::string& line) const {
    std::lock_guard lock(mutex_);
    for (const auto& l : lines_) {
        if (l == line) return true;
    }
    return false;
}

bool LogCapture::containsSubstring(const std::string& part) const {
    std::lock_guard lock(mutex_);
    for (const auto& l : lines_) {
        if (l.find(part) != std::string::npos) return true;
    }
    return false;
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

static void removeTree(const std::string& path) {
    GDir* dir = g_dir_open(path.c_str(), 0, nullptr);
    if (dir) {
        while (const char* name = g_dir_read_name(dir)) {
            std::string child = path + "/" + name;
            if (g_file_test(child.c_str(), G_FILE_TEST_IS_DIR) && !g_file_test(child.c_str(), G_FILE_TEST_IS_SYMLINK)) {
                removeTree(child);
            } else {
                g_unlink(child.c_str());
            }
        }
        g_dir_close(dir);
    }
    g_rmdir(path.c_str());
}

TempDir::TempDir() {
    const char* home = std::getenv("HOME");
    std::string tmpl = std::string(home && *home ? home : "/tmp") + "/tmpdir.XXXXXX";
    char* made = g_mkdtemp(tmpl.data());
    path_ = made ? made : tmpl;
}

TempDir::~TempDir() { removeTree(path_); }

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool spinUntil(const std::function<bool()>& done, double timeoutSeconds) {
    return platform::runMainLoopUntil(done, timeoutSeconds);
}

std::string sourceDir() { return KIVANO_SOURCE_DIR; }
std::string bundleDir() {
    const char* b = std::getenv("KIVANO_BUNDLE_DIR");
    return b && *b ? b : std::string(KIVANO_BINARY_DIR) + "/Resources";
}

GDBusConnection* newBusConnection(GBusType bus) {
    g_autoptr(GError) error = nullptr;
    g_autofree char* address = g_dbus_address_get_for_bus_sync(bus, nullptr, &error);
    EXPECT_TRUE(address) << (error ? error->message : "");
    if (!address) return nullptr;
    GDBusConnection* c = g_dbus_connection_new_for_address_sync(
        address, GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    EXPECT_TRUE(c) << (error ? error->message : "");
    return c;
}

}  // namespace testutil
