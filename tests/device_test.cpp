// Device information from DMI and os-release files of a test folder, and the "WHUUID" rule.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <regex>

#include "platform/bundle.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"
#include "plugins/standard/WHDevice.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/test_util.h"

namespace {

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        WHDevice::setSystemRoot(root.path());
        platform::UserDefaults::standard().remove(kWHUUIDDefaultsKey);
        plugin.setCommandDelegate(&delegate);
    }
    void TearDown() override { WHDevice::setSystemRoot(""); }

    void put(const std::string& relative, const std::string& content) {
        std::string path = root.path() + "/" + relative;
        platform::makeDirs(path.substr(0, path.rfind('/')));
        testutil::writeFile(path, content);
    }
    void dmi(const std::string& name, const std::string& content) { put("sys/class/dmi/id/" + name, content); }

    Value info() {
        testutil::callAction(plugin, "getDeviceInfo");
        EXPECT_EQ(delegate.last().status(), WHCommandStatus_OK);
        return delegate.last().message().value_or(Value());
    }

    testutil::TempDir root;
    testutil::RecordingDelegate delegate;
    WHDevice plugin{nullptr};
};

std::string machine() {
    utsname u{};
    uname(&u);
    return u.machine;
}

}  // namespace

TEST_F(DeviceTest, DictionaryFromTheSystemFiles) {
    dmi("sys_vendor", "LENOVO\n");
    dmi("product_name", "20XW0055GE\n");
    dmi("product_serial", "PF2ABCDE\n");
    put("etc/os-release", "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
                          "VERSION_ID=\"12\"\nID=debian\n");
    Value d = info();
    ASSERT_TRUE(d["uuid"].is_string());
    auto& bundle = platform::Bundle::main();
    Value expected{
        {"manufacturer", "LENOVO"},
        {"model", "20XW0055GE"},
        {"platform", "Debian GNU/Linux"},
        {"version", "12"},
        {"uuid", d["uuid"]},
        {"webhost", "4.0.0"},
        {"serial", "PF2ABCDE"},
        {"isVirtual", false},
        {"appversion", bundle.shortVersion() + " (" + bundle.buildNumber() + ")"},
        {"appname", bundle.name()},
        {"isTablet", false},
        {"has3DTouch", false},
        {"accessibility", {{"textSizeAdjustment", 100}}},
    };
    EXPECT_EQ(d, expected);
    EXPECT_EQ(d["appversion"], KIVANO_SHORT_VERSION " (" KIVANO_BUILD_NUMBER ")");
}

TEST_F(DeviceTest, ValuesThatCannotBeFoundLeaveTheirKeyOut) {
    // Nothing below the root: no vendor, no serial, no system version; the model falls back to
    // the kernel's machine name.
    Value d = info();
    EXPECT_FALSE(d.contains("manufacturer"));
    EXPECT_FALSE(d.contains("serial"));
    EXPECT_FALSE(d.contains("platform"));
    EXPECT_FALSE(d.contains("version"));
    EXPECT_EQ(d["model"], machine());

    // Blank files count as missing.
    dmi("sys_vendor", "  \n");
    dmi("product_name", "\n");
    d = info();
    EXPECT_FALSE(d.contains("manufacturer"));
    EXPECT_EQ(d["model"], machine());

    // A serial only root may read (as on most systems): left out for everyone else.
    dmi("product_serial", "PF2ABCDE\n");
    ::chmod((root.path() + "/sys/class/dmi/id/product_serial").c_str(), 0000);
    d = info();
    if (::geteuid() == 0) {
        EXPECT_EQ(d["serial"], "PF2ABCDE");
    } else {
        EXPECT_FALSE(d.contains("serial"));
    }
}

TEST_F(DeviceTest, OsReleaseIsReadAfreshAtEachCall) {
    put("usr/lib/os-release", "NAME=Fallback\nVERSION_ID=1\n");
    EXPECT_EQ(info()["platform"], "Fallback");
    put("etc/os-release", "NAME=Fedora Linux\nVERSION_ID=39\n");
    Value d = info();
    EXPECT_EQ(d["platform"], "Fedora Linux");
    EXPECT_EQ(d["version"], "39");
    put("etc/os-release", "NAME='Fedora Linux'\nVERSION_ID=40\n");
    EXPECT_EQ(info()["version"], "40");
}

TEST(OsRelease, Fields) {
    struct Case {
        const char* content;
        const char* key;
        std::optional<std::string> expected;
    } cases[] = {
        {"NAME=\"Debian GNU/Linux\"\n", "NAME", "Debian GNU/Linux"},
        {"NAME='Arch Linux'\n", "NAME", "Arch Linux"},
        {"NAME=openSUSE\n", "NAME", "openSUSE"},
        {"NAME=\"Say \\\"hi\\\" \\$HOME\"\n", "NAME", "Say \"hi\" $HOME"},
        {"# NAME=Commented\nNAME=Real\n", "NAME", "Real"},
        {"PRETTY_NAME=\"X 1\"\nVERSION_ID=\"22.04\"\n", "NAME", std::nullopt},
        {"VERSION_ID=\"22.04\"\r\n", "VERSION_ID", "22.04"},
        {"VERSION_ID=\n", "VERSION_ID", std::nullopt},
        {"NAME=First\nNAME=Second\n", "NAME", "Second"},
    };
    for (const auto& c : cases) EXPECT_EQ(osReleaseField(c.content, c.key), c.expected) << c.content;
}

TEST_F(DeviceTest, InstallationIdentifier) {
    std::string first = info()["uuid"];
    EXPECT_TRUE(std::regex_match(first, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << first;
    EXPECT_EQ(info()["uuid"], first);
    EXPECT_EQ(platform::UserDefaults::standard().stringForKey(kWHUUIDDefaultsKey), first);

    // Kept across a fresh read of the defaults file.
    platform::UserDefaults::standard().reset();
    EXPECT_EQ(info()["uuid"], first);

    platform::UserDefaults::standard().remove(kWHUUIDDefaultsKey);
    std::string second = info()["uuid"];
    EXPECT_NE(second, first);
    EXPECT_EQ(info()["uuid"], second);

    platform::UserDefaults::standard().set(kWHUUIDDefaultsKey, "stored-elsewhere");
    EXPECT_EQ(info()["uuid"], "stored-elsewhere");
}
