// Storage notices and the save dialog, with a scripted save panel.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "plugins/services/StorageManager.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/services_scripted_platform.h"
#include "tests/support/test_util.h"

using testutil::ScriptedSavePanel;
using testutil::RecordingDelegate;

namespace {

WHInvokedUrlCommand command(const std::string& action, Value args) {
    return WHInvokedUrlCommand(std::move(args), "StorageManager1", "StorageManager", action);
}

bool fileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

class StorageManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::initMainThread();
        panel = ScriptedSavePanel::install();
        plugin.setCommandDelegate(&delegate);
    }
    void TearDown() override {
        ScriptedSavePanel::uninstall();
        platform::NotificationCenter::defaultCenter().removeObserver(this);
    }

    // Observes the three notices; each records the answers already sent when it arrived.
    struct Seen {
        std::string name;
        const void* object;
        Value userInfo;
        std::size_t answersBefore;
    };
    std::vector<Seen> observe() {
        for (const char* name : {kStorageManagerArchiveChangedNotification, kStorageManagerStructureChangedNotification,
                                 kStorageManagerSettingsChangedNotification}) {
            platform::NotificationCenter::defaultCenter().addObserver(this, name, nullptr, [this](const platform::Notification& n) {
                seen.push_back({n.name, n.object, n.userInfo, delegate.count()});
            });
        }
        return {};
    }

    RecordingDelegate delegate{RecordingDelegate::Background::Pool};
    StorageManager plugin{nullptr};
    std::shared_ptr<ScriptedSavePanel> panel;
    std::vector<Seen> seen;
    testutil::TempDir dir;
};

TEST_F(StorageManagerTest, ChangeActionsAnswerOkAndPostOnlyForTextSerialNumbers) {
    struct Case {
        const char* action;
        Value args;
        const char* notification;  // null: nothing posted
        Value userInfo;
    };
    const std::vector<Case> cases = {
        {"archiveDidChange", Value::array(), kStorageManagerArchiveChangedNotification, nullptr},
        {"archiveDidChange", Value{"x", 3}, kStorageManagerArchiveChangedNotification, nullptr},
        {"structureDidChange", Value{"S1"}, kStorageManagerStructureChangedNotification, {{"serialNo", "S1"}}},
        {"structureDidChange", Value{"S1", "S2"}, kStorageManagerStructureChangedNotification, {{"serialNo", "S1"}}},
        {"structureDidChange", Value{5}, nullptr, nullptr},
        {"structureDidChange", Value::array(), nullptr, nullptr},
        {"settingsDidChange", Value{"504F94A0"}, kStorageManagerSettingsChangedNotification, {{"serialNo", "504F94A0"}}},
        {"settingsDidChange", Value::array(), nullptr, nullptr},
        {"settingsDidChange", Value{nullptr, "S2"}, nullptr, nullptr},
        {"settingsDidChange", Value{Value::object()}, nullptr, nullptr},
    };
    observe();
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " " + c.args.dump());
        delegate.clear();
        seen.clear();
        plugin.invokeAction(c.action, command(c.action, c.args));
        ASSERT_EQ(delegate.count(), 1u);
        EXPECT_EQ(delegate.last().result.status(), WHCommandStatus_OK);
        EXPECT_FALSE(delegate.last().result.message().has_value());
        EXPECT_EQ(delegate.last().callbackId, std::optional<std::string>("StorageManager1"));
        if (!c.notification) {
            EXPECT_TRUE(seen.empty());
            continue;
        }
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].name, c.notification);
        EXPECT_EQ(seen[0].object, &plugin);
        EXPECT_EQ(seen[0].userInfo, c.userInfo);
        EXPECT_EQ(seen[0].answersBefore, 1u) << "the answer goes out before the notice";
    }
}

TEST_F(StorageManagerTest, SaveFileProposesTheNameSplitAndWritesTheBytes) {
    struct Case {
        Value args;
        std::string expectName;
        std::vector<std::string> expectTypes;
        std::string chosen;  // file name the user confirms
        std::string savedAs;  // file that holds the bytes
        std::string expectContent;
    };
    const std::vector<Case> cases = {
        {Value{"notes.txt", "abc"}, "notes", {"txt"}, "notes.txt", "notes.txt", "abc"},
        // The content is Base64 for any name containing ".png"; characters outside the alphabet are skipped.
        {Value{"chart.png", "iVBO\r\nRw0K\nGgo="}, "chart", {"png"}, "chart.png", "chart.png",
         std::string("\x89PNG\r\n\x1a\n", 8)},
        {Value{"x.png.bak", "aGVs bG8="}, "x", {"png"}, "x.png", "x.png", "hello"},
        {Value{"CHART.PNG", "aGk="}, "CHART", {"PNG"}, "CHART.PNG", "CHART.PNG", "aGk="},
        // A single argument is both the name and the content.
        {Value{"x.txt"}, "x", {"txt"}, "x.txt", "x.txt", "x.txt"},
        {Value{"a.b.c", "1", "ignored", "last"}, "a", {"b"}, "a.b", "a.b", "last"},
        {Value{"report.2017.csv", "r"}, "report", {"2017"}, "report.2017", "report.2017", "r"},
        // A chosen name without the only allowed type gets it appended.
        {Value{"ZorudaZidovAdad.dmg", "d"}, "ZorudaZidovAdad", {"dmg"}, "update", "update.dmg", "d"},
        {Value{"README", "text"}, "README", {}, "README", "README", "text"},
        {Value{"notes.txt", "Grüße ✓"}, "notes", {"txt"}, "utf8.txt", "utf8.txt", "Grüße ✓"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.dump());
        delegate.clear();
        panel->queueAnswer(dir.file(c.chosen));
        std::size_t shownBefore = panel->shown().size();
        plugin.saveFile(command("saveFile", c.args));
        ASSERT_EQ(panel->shown().size(), shownBefore + 1);
        const auto options = panel->shown().back();
        EXPECT_EQ(options.nameFieldValue, c.expectName);
        EXPECT_EQ(options.allowedFileTypes, c.expectTypes);
        EXPECT_TRUE(options.canCreateDirectories);
        EXPECT_FALSE(options.allowsOtherFileTypes);
        EXPECT_FALSE(options.canSelectHiddenExtension);
        EXPECT_FALSE(options.extensionHidden);
        ASSERT_TRUE(delegate.waitFor(1));
        EXPECT_EQ(delegate.last().result.status(), WHCommandStatus_OK);
        EXPECT_EQ(delegate.last().result.message(), std::optional<Value>(true));
        EXPECT_EQ(testutil::readFile(dir.file(c.savedAs)), c.expectContent);
    }
}

TEST_F(StorageManagerTest, SaveFileReplacesAnExistingFileCompletely) {
    testutil::writeFile(dir.file("notes.txt"), "a much longer old content");
    panel->queueAnswer(dir.file("notes.txt"));
    plugin.saveFile(command("saveFile", Value{"notes.txt", "new"}));
    ASSERT_TRUE(delegate.waitFor(1));
    EXPECT_EQ(delegate.last().result.status(), WHCommandStatus_OK);
    EXPECT_EQ(testutil::readFile(dir.file("notes.txt")), "new");
}

TEST_F(StorageManagerTest, AFileUnderTheAppendedNameIsReplacedOnlyWhenTheUserSaysSo) {
    // The panel's own question is about the name as typed ("report"); the file that would be
    // written is report.dmg.
    struct Case {
        const char* what;
        std::vector<bool> replaceAnswers;                 // one per question
        std::vector<std::optional<std::string>> panels;  // what each panel shown answers
        std::string expectContent;
        std::optional<Value> expectMessage;  // OK true, or the error text
    };
    const std::vector<Case> cases = {
        {"replace", {true}, {"report"}, "new", Value(true)},
        {"keep, then cancel", {false}, {"report", std::nullopt}, "old", Value("user canceled")},
        {"keep, then another name", {false}, {"report", "other"}, "old", Value(true)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        delegate.clear();
        testutil::writeFile(dir.file("report.dmg"), "old");
        ::unlink(dir.file("other.dmg").c_str());
        for (bool r : c.replaceAnswers) panel->queueReplaceAnswer(r);
        for (const auto& p : c.panels) panel->queueAnswer(p ? std::optional(dir.file(*p)) : std::nullopt);
        std::size_t shownBefore = panel->shown().size();
        std::size_t askedBefore = panel->replaceQuestions().size();
        plugin.saveFile(command("saveFile", Value{"ZorudaZidovAdad.dmg", "new"}));
        ASSERT_TRUE(delegate.waitFor(1));
        EXPECT_EQ(delegate.last().result.message(), c.expectMessage);
        EXPECT_EQ(testutil::readFile(dir.file("report.dmg")), c.expectContent);
        auto asked = panel->replaceQuestions();
        ASSERT_EQ(asked.size(), askedBefore + 1);
        EXPECT_EQ(asked.back(), dir.file("report.dmg"));
        auto shown = panel->shown();
        ASSERT_EQ(shown.size(), shownBefore + c.panels.size());
        if (c.panels.size() > 1) {
            // Shown again where the user was, with the same proposal.
            EXPECT_EQ(shown.back().directory, std::optional<std::string>(dir.path()));
            EXPECT_EQ(shown.back().nameFieldValue, "ZorudaZidovAdad");
        }
    }
    EXPECT_EQ(testutil::readFile(dir.file("other.dmg")), "new");

    // No question when the panel itself asked (the name as typed is the file) or when nothing is there.
    std::size_t asked = panel->replaceQuestions().size();
    for (std::string chosen : {"report.dmg", "fresh"}) {
        delegate.clear();
        panel->queueAnswer(dir.file(chosen));
        plugin.saveFile(command("saveFile", Value{"ZorudaZidovAdad.dmg", "v2"}));
        ASSERT_TRUE(delegate.waitFor(1));
        EXPECT_EQ(delegate.last().result.message(), std::optional<Value>(true));
    }
    EXPECT_EQ(panel->replaceQuestions().size(), asked);
    EXPECT_EQ(testutil::readFile(dir.file("report.dmg")), "v2");
    EXPECT_EQ(testutil::readFile(dir.file("fresh.dmg")), "v2");
}

TEST_F(StorageManagerTest, SavingThroughALinkReplacesTheFileItPointsAt) {
    testutil::writeFile(dir.file("real.txt"), "old content");
    ASSERT_EQ(::symlink("real.txt", dir.file("link.txt").c_str()), 0);
    panel->queueAnswer(dir.file("link.txt"));
    plugin.saveFile(command("saveFile", Value{"notes.txt", "new"}));
    ASSERT_TRUE(delegate.waitFor(1));
    EXPECT_EQ(delegate.last().result.message(), std::optional<Value>(true));
    EXPECT_EQ(testutil::readFile(dir.file("real.txt")), "new");
    struct stat st;
    ASSERT_EQ(::lstat(dir.file("link.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(StorageManagerTest, CancelAnswersUserCanceledAndWritesNothing) {
    plugin.saveFile(command("saveFile", Value{"notes.txt", "abc"}));
    ASSERT_EQ(panel->openCount(), 1u);
    platform::runMainLoopFor(0.05);
    EXPECT_EQ(delegate.count(), 0u) << "nothing is answered while the panel is open";
    ASSERT_TRUE(panel->answer(std::nullopt));
    ASSERT_TRUE(delegate.waitFor(1));
    platform::runMainLoopFor(0.05);
    ASSERT_EQ(delegate.count(), 1u);
    EXPECT_EQ(delegate.last().result.status(), WHCommandStatus_ERROR);
    EXPECT_EQ(delegate.last().result.message(), std::optional<Value>("user canceled"));
    EXPECT_TRUE(testutil::readFile(dir.file("notes.txt")).empty());
    EXPECT_FALSE(fileExists(dir.file("notes.txt")));
}

TEST_F(StorageManagerTest, FailedWriteIsReportedNotSaved) {
    ::mkdir(dir.file("folder").c_str(), 0700);
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    // Names without a dot allow any type, so the chosen paths are taken as they are.
    struct Case {
        const char* what;
        std::string path;
    };
    const std::vector<Case> cases = {
        {"full disk", "/dev/full"},
        {"missing folder", dir.file("missing/notes.txt")},
        {"a folder in the way", dir.file("folder")},
        {"a FIFO in the way (no reader: opening it would wait)", dir.file("pipe")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        delegate.clear();
        panel->queueAnswer(c.path);
        plugin.saveFile(command("saveFile", Value{"notes", std::string(64 * 1024, 'x')}));
        ASSERT_TRUE(delegate.waitFor(1));
        EXPECT_EQ(delegate.last().result.status(), WHCommandStatus_ERROR);
        ASSERT_TRUE(delegate.last().result.message() && delegate.last().result.message()->is_string());
        EXPECT_EQ(delegate.last().result.message()->get<std::string>().rfind("the file could not be written", 0), 0u)
            << delegate.last().result.message()->get<std::string>();

        // The dialog's own completion: not saved, no path.
        bool called = false;
        panel->queueAnswer(c.path);
        StorageManager::showSaveDialog(Bytes(10, 'y'), "notes",
                                       [&](bool saved, const std::optional<std::string>& path,
                                           const std::optional<std::string>& writeError) {
                                           called = true;
                                           EXPECT_FALSE(saved);
                                           EXPECT_FALSE(path.has_value());
                                           EXPECT_TRUE(writeError.has_value());
                                       });
        ASSERT_TRUE(testutil::spinUntil([&] { return called; }));
    }
    EXPECT_FALSE(fileExists(dir.file("missing")));
    struct stat st;
    ASSERT_EQ(::lstat(dir.file("pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "left as it was";
    ASSERT_EQ(::stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "a device is never replaced by a file";
}

TEST_F(StorageManagerTest, SaveFileWithUnusableArgumentsAnswersOneError) {
    const std::vector<Value> cases = {
        Value::array(), Value{5}, Value{"notes.txt", 7}, Value{nullptr, "abc"}, Value{"chart.png", "abc"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.dump());
        delegate.clear();
        plugin.saveFile(command("saveFile", args));
        ASSERT_TRUE(delegate.waitFor(1));
        platform::runMainLoopFor(0.02);
        ASSERT_EQ(delegate.count(), 1u);
        EXPECT_EQ(delegate.last().result.status(), WHCommandStatus_ERROR);
        ASSERT_TRUE(delegate.last().result.message() && delegate.last().result.message()->is_string());
        EXPECT_NE(delegate.last().result.message()->get<std::string>(), "user canceled");
    }
    EXPECT_TRUE(panel->shown().empty()) << "no dialog for unusable arguments";
}

TEST_F(StorageManagerTest, CompletionRunsOnceLaterOnTheMainThreadForEachOpenDialog) {
    int firstCalls = 0, secondCalls = 0;
    std::optional<std::string> firstPath;
    StorageManager::showSaveDialogWithFile(Bytes{'1'}, "one.txt", [&](bool saved, const std::optional<std::string>& path,
                                                                      const std::optional<std::string>&) {
        ++firstCalls;
        EXPECT_TRUE(saved);
        EXPECT_TRUE(platform::isMainThread());
        firstPath = path;
    });
    StorageManager::showSaveDialog(Bytes{'2'}, "two.txt", [&](bool saved, const std::optional<std::string>& path,
                                                              const std::optional<std::string>&) {
        ++secondCalls;
        EXPECT_TRUE(saved);
        EXPECT_EQ(path, std::optional<std::string>(dir.file("two.txt")));
    });
    EXPECT_EQ(panel->openCount(), 2u) << "several dialogs may be open at once";

    // A panel answering at once, even from another thread, is still heard later, on the main thread.
    std::thread([&] { panel->answer(dir.file("one.txt")); }).join();
    EXPECT_EQ(firstCalls, 0);
    panel->answer(dir.file("two.txt"));
    EXPECT_EQ(secondCalls, 0);
    ASSERT_TRUE(testutil::spinUntil([&] { return firstCalls == 1 && secondCalls == 1; }));
    platform::runMainLoopFor(0.05);
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(secondCalls, 1);
    EXPECT_EQ(firstPath, std::optional<std::string>(dir.file("one.txt")));
    EXPECT_EQ(testutil::readFile(dir.file("one.txt")), "1");
    EXPECT_EQ(testutil::readFile(dir.file("two.txt")), "2");
}

}  // namespace
