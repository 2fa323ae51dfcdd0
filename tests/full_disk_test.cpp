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

struct PositionedCase {
    const char* name;
    std::optional<std::string> before;  // absent: no file there
    std::uint64_t position;
    std::size_t size;
    bool throughDescriptor;  // the page's bytes through a descriptor (64 KiB and more), else in memory
    std::size_t room;        // free bytes left on the disk
};

TEST(FullDisk, APositionedWriteThatFailsLeavesTheFileAsItWas) {
    const std::string small = "abcd", longer = pattern(20000);
    const std::vector<PositionedCase> cases{
        {"past the end", small, 10000, 300000, true, 64 * 1024},
        {"at the end", small, 4, 300000, true, 64 * 1024},
        {"inside the file", longer, 100, 300000, true, 64 * 1024},
        {"into a missing file", std::nullopt, 50, 300000, true, 64 * 1024},
        {"from the start", longer, 0, 300000, true, 64 * 1024},
        // A disk without a free block; the file ends on a block's end, so a write at its end
        // finds no room in its last block either.
        {"past the end", small, 10000, 10000, false, 0},
        {"at the end", pattern(4096), 4096, 10000, false, 0},
        {"inside the file", longer, 100, 10000, false, 0},
        {"into a missing file", std::nullopt, 50, 10000, false, 0},
        {"from the start", longer, 0, 300000, false, 64 * 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.throughDescriptor ? ", through a descriptor" : ", in memory"));
        std::string why;
        auto report = onFullDisk(
            [&](const std::string& folder) {
                const std::string root = folder + "/root", file = root + "/f.bin";
                platform::makeDirs(root);
                if (c.before) testutil::writeFile(file, *c.before);
                Value r = Value::object();
                r["filled"] = testutil::fillDisk(folder + "/filler", c.room);
                WHLocalFilesystem fs("persistent", root);
                auto url = WHFilesystemURL::fileSystemURLWithString("whfile://localhost/persistent/f.bin");
                const std::string data(c.size, 'N');
                if (c.throughDescriptor) {
                    // As the plug-in does: all bytes there, or the target dropped unfinished.
                    WHPluginResult error;
                    auto target = fs.openForWriteAtPosition(url, c.position, error);
                    if (!target) {
                        r["answer"] = answerOf(error);
                    } else {
                        std::size_t written = writeUntilRefused(target->fd(), data);
                        r["refused"] = written < data.size();
                        if (written == data.size()) r["answer"] = answerOf(target->finish(written));
                        target.reset();
                    }
                } else {
                    r["answer"] = answerOf(fs.writeAtPosition(url, Bytes(data.begin(), data.end()), c.position));
                }
                auto after = contentOf(file);
                r["same"] = after == c.before;
                r["size"] = after ? static_cast<std::int64_t>(after->size()) : -1;
                r["strays"] = strayNames(root, {"f.bin"});
                return r;
            },
            why);
        if (!report) GTEST_SKIP() << "no small disk here: " << why;
        ASSERT_TRUE((*report)["filled"].get<bool>());
        if (c.throughDescriptor && report->contains("refused")) {
            EXPECT_TRUE((*report)["refused"].get<bool>()) << "the disk took it all";
        } else {
            EXPECT_EQ((*report)["answer"], Value::parse("[9,9]"));
        }
        EXPECT_TRUE((*report)["same"].get<bool>()) << "now " << (*report)["size"] << " bytes";
        EXPECT_EQ((*report)["strays"], Value::array());
    }
}

TEST(FullDisk, WholeFileReplacementsThatFailLeaveTheFileAndNoTemporaryFile) {
    const std::string before = pattern(20000), data(300000, 'N');
    struct Case {
        const char* name;
        std::function<bool(WHLocalFilesystem& fs, const std::string& file)> write;
    };
    auto url = [](const std::string& name) { return WHFilesystemURL::fileSystemURLWithString("whfile://localhost/persistent/" + name); };
    const std::vector<Case> cases{
        {"atomic write", [&](WHLocalFilesystem&, const std::string& file) { return platform::writeFileAtomically(file, data); }},
        {"atomic writer",
         [&](WHLocalFilesystem&, const std::string& file) {
             auto writer = platform::AtomicFileWriter::begin(file, platform::AtomicWriteOptions());
             return writer && writeUntilRefused(writer->fd(), data) == data.size() && writer->commit();
         }},
        {"the companion's JSON save (replacement through the filesystem)",
         [&](WHLocalFilesystem& fs, const std::string&) {
             return fs.replaceFileAtURL(url("f.bin"), Bytes(data.begin(), data.end())).status() == 1;
         }},
        {"copy beside it",
         [&](WHLocalFilesystem& fs, const std::string&) {
             bool ok = false;
             fs.copyFileToURL(url(""), "copy.bin", &fs, url("f.bin"), true, [&](const WHPluginResult& r) { ok = r.status() == 1; });
             return ok;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string why;
        auto report = onFullDisk(
            [&](const std::string& folder) {
                const std::string root = folder + "/root", file = root + "/f.bin";
                platform::makeDirs(root);
                testutil::writeFile(file, before);
                Value r = Value::object();
                r["filled"] = testutil::fillDisk(folder + "/filler", 8 * 1024);
                WHLocalFilesystem fs("persistent", root);
                r["succeeded"] = c.write(fs, file);
                r["same"] = contentOf(file) == std::optional<std::string>(before);
                r["strays"] = strayNames(root, {"f.bin"});
                return r;
            },
            why);
        if (!report) GTEST_SKIP() << "no small disk here: " << why;
        ASSERT_TRUE((*report)["filled"].get<bool>());
        EXPECT_FALSE((*report)["succeeded"].get<bool>());
        EXPECT_TRUE((*report)["same"].get<bool>());
        EXPECT_EQ((*report)["strays"], Value::array());
    }
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
