// Writes that meet a full disk (a small tmpfs filled up, in a child process): the file plug-in's
// positioned and whole-file writes, the atomic replacement and the settings leave the disk as it
// was when they fail, and the settings keep what they could not write for a later write.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/application.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "platform/notification_center.h"
#include "platform/user_defaults.h"
#include "plugins/standard/WHLocalFilesystem.h"
#include "tests/support/small_disk.h"
#include "tests/support/test_util.h"

using platform::Value;

namespace {

constexpr std::size_t kDisk = 1 << 20;

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 23);
    return s;
}

std::optional<std::string> contentOf(const std::string& path) {
    std::string text;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !platform::readFile(path, text)) return std::nullopt;
    return text;
}

// Names in a folder other than `keep`: temporary files a failed write left behind.
Value strayNames(const std::string& folder, const std::vector<std::string>& keep) {
    Value names = Value::array();
    DIR* d = ::opendir(folder.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (std::find(keep.begin(), keep.end(), name) == keep.end()) names.push_back(name);
    }
    ::closedir(d);
    return names;
}

// Writes through a descriptor until all is written or the disk refuses; the count written.
std::size_t writeUntilRefused(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

Value answerOf(const WHPluginResult& r) { return Value::array({r.status(), r.message().value_or(nullptr)}); }

// The report of `work` on a fresh small disk; absent (with the reason) where none can be made.
std::optional<Value> onFullDisk(const std::function<Value(const std::string& folder)>& work, std::string& why) {
    auto text = testutil::onSmallDisk(kDisk, [&](const std::string& folder) { return platform::toJson(work(folder)); }, &why);
    if (!text) return std::nullopt;
    auto report = platform::parseJson(*text);
    if (!report) why = "unreadable report: " + *text;
    return report;
}

TEST(FullDisk, SettingsThatCouldNotBeWrittenAreWrittenLaterAndTheFailureLoggedOnce) {
    struct Case {
        const char* name;
        std::function<void(platform::UserDefaults&)> later;  // with room on the disk again
        Value expected;                                        // the keys on the disk then
    };
    const std::vector<Case> cases{
        {"the next change", [](platform::UserDefaults& d) { d.set("after", 4); },
         Value::parse(R"(["after","big","kept","small"])")},
        {"a synchronisation", [](platform::UserDefaults& d) { d.synchronize(); }, Value::parse(R"(["big","kept","small"])")},
        {"the application's end",
         [](platform::UserDefaults&) {
             platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillTerminateNotification);
         },
         Value::parse(R"(["big","kept","small"])")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        auto report = onFullDisk(
            [&](const std::string& folder) {
                ::setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
                auto& defaults = platform::UserDefaults::standard();
                defaults.reset();
                const std::string path = defaults.filePath();
                auto keysOnDisk = [&] {
                    Value keys = Value::array();
                    auto text = contentOf(path);
                    auto parsed = text ? platform::parseJson(*text) : std::nullopt;
                    if (parsed && parsed->is_object()) {
                        for (auto it = parsed->begin(); it != parsed->end(); ++it) keys.push_back(it.key());
                    }
                    return keys;
                };
                Value r = Value::object();
                defaults.set("kept", 1);
                r["filled"] = testutil::fillDisk(folder + "/filler", 0);
                testutil::LogCapture log;
                defaults.set("big", std::string(100000, 'x'));
                defaults.set("small", 2);
                defaults.synchronize();
                int failures = 0;
                for (const auto& line : log.lines()) failures += line.rfind("User defaults could not be written to ", 0) == 0;
                r["logged"] = failures;
                r["whileFull"] = keysOnDisk();
                r["seen"] = defaults.object("small").value_or(nullptr);
                ::unlink((folder + "/filler").c_str());
                c.later(defaults);
                r["later"] = keysOnDisk();
                return r;
            },
            why);
        if (!report) GTEST_SKIP() << "no small disk here: " << why;
        ASSERT_TRUE((*report)["filled"].get<bool>());
        EXPECT_EQ((*report)["logged"], 1) << "one line for the failed writes";
        EXPECT_EQ((*report)["whileFull"], Value::parse(R"(["kept"])"));
        EXPECT_EQ((*report)["seen"], 2) << "the new value is there in memory";
        EXPECT_EQ((*report)["later"], c.expected);
    }
}

}  // namespace
