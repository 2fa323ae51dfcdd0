// The program's log lines go through GLib's structured logging: the application's domain, a
// priority the journal can filter on, and the text as it was.
#include <glib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/log.h"
#include "platform/user_defaults.h"
#include "tests/support/test_util.h"

namespace {

struct Record {
    GLogLevelFlags level;
    std::map<std::string, std::string> fields;
};

std::mutex gMutex;
std::vector<Record> gRecords;

GLogWriterOutput capture(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
    Record r{level, {}};
    for (gsize i = 0; i < count; ++i) {
        std::string value = fields[i].length < 0 ? static_cast<const char*>(fields[i].value)
                                                 : std::string(static_cast<const char*>(fields[i].value), fields[i].length);
        r.fields[fields[i].key] = value;
    }
    std::lock_guard lock(gMutex);
    gRecords.push_back(std::move(r));
    return G_LOG_WRITER_HANDLED;
}

// GLib takes one writer per process, before anything is logged.
const bool kCapturing = [] {
    g_log_set_writer_func(capture, nullptr, nullptr);
    return true;
}();

std::vector<Record> recordsWith(const std::string& text) {
    std::lock_guard lock(gMutex);
    std::vector<Record> out;
    for (const auto& r : gRecords) {
        auto it = r.fields.find("MESSAGE");
        if (it != r.fields.end() && it->second == text) out.push_back(r);
    }
    return out;
}

TEST(Logging, LinesCarryTheDomainAPriorityAndTheirText) {
    ASSERT_TRUE(kCapturing);
    struct Case {
        std::function<void(const std::string&)> log;
        std::string text;
        const char* priority;
        GLogLevelFlags level;
    };
    const std::vector<Case> cases{
        {[](const std::string& t) { platform::logLine(t); }, "a plain line", "5", G_LOG_LEVEL_MESSAGE},
        {[](const std::string& t) { platform::logf("%s", t); }, "a formatted line", "5", G_LOG_LEVEL_MESSAGE},
        {[](const std::string& t) { platform::logLine(platform::LogLevel::Debug, t); }, "a debug line", "7", G_LOG_LEVEL_DEBUG},
        {[](const std::string& t) { platform::logLine(platform::LogLevel::Info, t); }, "an information", "6", G_LOG_LEVEL_INFO},
        {[](const std::string& t) { platform::logf(platform::LogLevel::Warning, "%s", t); }, "a warning", "4", G_LOG_LEVEL_WARNING},
        // An error is no failed assertion: GLib's warning level, the journal's error priority.
        {[](const std::string& t) { platform::logf(platform::LogLevel::Error, "%s", t); }, "an error 100%", "3", G_LOG_LEVEL_WARNING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        c.log(c.text);
        auto records = recordsWith(c.text);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].fields["GLIB_DOMAIN"], "Kivano");
        EXPECT_EQ(records[0].fields["PRIORITY"], c.priority);
        EXPECT_EQ(records[0].level & G_LOG_LEVEL_MASK, c.level);
    }
}

TEST(Logging, TheProgramsFailuresAreWarningsAndErrors) {
    testutil::TempDir dir;
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    auto& defaults = platform::UserDefaults::standard();
    defaults.reset();
    const std::string path = defaults.filePath();
    // A folder where the settings file belongs: read as empty (a warning), and no write gets there.
    platform::makeDirs(path);
    defaults.object("any");
    defaults.set("key", 1);
    auto unreadable = recordsWith("User defaults at " + path + " are not a regular file; starting empty");
    ASSERT_EQ(unreadable.size(), 1u);
    EXPECT_EQ(unreadable[0].fields["PRIORITY"], "4");
    std::lock_guard lock(gMutex);
    bool failed = false;
    for (const auto& r : gRecords) {
        auto it = r.fields.find("MESSAGE");
        if (it == r.fields.end() || it->second.rfind("User defaults could not be written to " + path + ": ", 0) != 0) continue;
        failed = true;
        EXPECT_EQ(r.fields.at("PRIORITY"), "3");
        EXPECT_EQ(r.fields.at("GLIB_DOMAIN"), "Kivano");
    }
    EXPECT_TRUE(failed);
    defaults.reset();
}

}  // namespace
