// Opening URLs through the workspace, the computer's address and the proxy check.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include "platform/net_interfaces.h"
#include "platform/workspace.h"
#include "plugins/services/AppLink.h"
#include "plugins/services/NetworkInterface.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/services_scripted_platform.h"

using platform::makeInterfaceAddress;
using testutil::ScriptedWorkspace;
using testutil::RecordingDelegate;

namespace {

WHInvokedUrlCommand command(const std::string& service, const std::string& action, Value args = Value::array()) {
    return WHInvokedUrlCommand(std::move(args), service + "1", service, action);
}

TEST(AppLink, OpensOnlyStrictURLsAndReportsTheWorkspaceOutcome) {
    auto workspace = ScriptedWorkspace::install();
    RecordingDelegate delegate{RecordingDelegate::Background::Pool};
    AppLink plugin(nullptr);
    plugin.setCommandDelegate(&delegate);
    struct Case {
        Value args;
        bool workspaceOpens;
        bool expectOpened;  // answered OK with true, and handed to the workspace
    };
    const std::vector<Case> cases = {
        {Value{"https://example.org/path?q=1#top"}, true, true},
        {Value{"kivano://hs?mac=504F94A0"}, true, true},
        {Value{"mailto:someone@example.org"}, true, true},
        {Value{"https://example.org/a%20b"}, true, true},
        {Value{"https://example.org/"}, false, false},  // no handler opened it
        {Value{"https://example.org/a b"}, true, false},
        {Value{" https://example.org/"}, true, false},
        {Value{"https://example.org/\xc3\xa4"}, true, false},
        {Value{"https://example.org/<x>"}, true, false},
        {Value{"https://example.org/%zz"}, true, false},
        {Value{"https://example.org/#a#b"}, true, false},
        {Value{"example.org"}, true, false},
        {Value{""}, true, false},
        {Value{42}, true, false},
        {Value::array(), true, false},
        {Value{nullptr}, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.dump());
        delegate.clear();
        workspace->openedURLs.clear();
        workspace->opens = c.workspaceOpens;
        plugin.invokeAction("openAppWithURL", command("AppLink", "openAppWithURL", c.args));
        ASSERT_EQ(delegate.count(), 1u);
        auto r = delegate.last().result;
        EXPECT_EQ(r.status(), c.expectOpened ? WHCommandStatus_OK : WHCommandStatus_ERROR);
        EXPECT_EQ(r.message(), std::optional<Value>(c.expectOpened));
        bool handedOver = !workspace->openedURLs.empty();
        EXPECT_EQ(handedOver, c.expectOpened || !c.workspaceOpens) << "malformed text never reaches the workspace";
    }
    ScriptedWorkspace::uninstall();
}

class NetworkInterfaceTest : public ::testing::Test {
protected:
    void SetUp() override { plugin.setCommandDelegate(&delegate); }

    WHPluginResult getIP(std::optional<std::vector<platform::InterfaceAddress>> list,
                         std::optional<std::string> defaultRoute = std::nullopt) {
        plugin.setSource({[list] { return list; }, [defaultRoute] { return defaultRoute; }, [] {
                              return std::map<std::string, std::string>{};
                          }});
        delegate.clear();
        plugin.invokeAction("getIP", command("NetworkInterface", "getIP", Value{"ignored"}));
        EXPECT_EQ(delegate.count(), 1u);
        return delegate.last().result;
    }

    RecordingDelegate delegate{RecordingDelegate::Background::Pool};
    NetworkInterface plugin{nullptr};
};

TEST_F(NetworkInterfaceTest, GetIPAnswersTheLastAddressOfTheWatchedInterfaces) {
    platform::InterfaceAddress linkLayer;
    linkLayer.name = "en0";
    linkLayer.family = platform::AddressFamily::Other;
    platform::InterfaceAddress noAddress;
    noAddress.name = "en0";
    noAddress.family = platform::AddressFamily::None;
    struct Case {
        const char* what;
        std::vector<platform::InterfaceAddress> list;
        std::optional<std::string> defaultRoute;
        std::optional<std::string> expect;  // absent: error
    };
    const std::vector<Case> cases = {
        {"IPv4 then IPv6 on en0",
         {makeInterfaceAddress("en0", "192.168.1.20"), makeInterfaceAddress("en0", "fe80::1")}, std::nullopt, "fe80::1"},
        {"IPv6 then IPv4 on en0",
         {makeInterfaceAddress("en0", "2001:db8::5"), makeInterfaceAddress("en0", "192.168.1.20")}, std::nullopt,
         "192.168.1.20"},
        {"en0 and ppp0: the last listed wins",
         {makeInterfaceAddress("ppp0", "10.8.0.2"), makeInterfaceAddress("en0", "192.168.1.20"),
          makeInterfaceAddress("lo", "127.0.0.1")},
         std::nullopt, "192.168.1.20"},
        {"ppp0 after en0", {makeInterfaceAddress("en0", "192.168.1.20"), makeInterfaceAddress("ppp0", "10.8.0.2")},
         std::nullopt, "10.8.0.2"},
        {"the default-route interface stands in for en0",
         {makeInterfaceAddress("lo", "127.0.0.1"), makeInterfaceAddress("wlp2s0", "192.168.0.7"),
          makeInterfaceAddress("docker0", "172.17.0.1")},
         "wlp2s0", "192.168.0.7"},
        {"other interfaces only", {makeInterfaceAddress("en1", "192.168.1.21"), makeInterfaceAddress("lo", "::1")},
         std::nullopt, std::nullopt},
        {"names compare exactly", {makeInterfaceAddress("EN0", "192.168.1.21"), makeInterfaceAddress("en00", "10.0.0.1")},
         std::nullopt, std::nullopt},
        {"link-layer and empty entries are skipped", {makeInterfaceAddress("en0", "192.168.1.20"), linkLayer, noAddress},
         std::nullopt, "192.168.1.20"},
        {"empty list", {}, "eth0", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = getIP(c.list, c.defaultRoute);
        if (c.expect) {
            EXPECT_EQ(r.status(), WHCommandStatus_OK);
            EXPECT_EQ(r.message(), std::optional<Value>(*c.expect));
        } else {
            EXPECT_EQ(r.status(), WHCommandStatus_ERROR);
            EXPECT_FALSE(r.message().has_value());
        }
    }
    auto failed = getIP(std::nullopt);
    EXPECT_EQ(failed.status(), WHCommandStatus_ERROR) << "the list cannot be read";
    EXPECT_FALSE(failed.message().has_value());
}

TEST_F(NetworkInterfaceTest, GetIPOverThisComputersInterfacesAnswersOnce) {
    plugin.setSource(NetworkInterface::systemSource());
    plugin.invokeAction("getIP", command("NetworkInterface", "getIP"));
    ASSERT_EQ(delegate.count(), 1u);
    auto list = platform::listInterfaceAddresses();
    ASSERT_TRUE(list.has_value());
    auto expected = NetworkInterface::addressOf(*list, platform::defaultRouteInterface());
    auto r = delegate.last().result;
    EXPECT_EQ(r.status(), expected ? WHCommandStatus_OK : WHCommandStatus_ERROR);
    if (expected) {
        EXPECT_EQ(r.message(), std::optional<Value>(*expected));
    }
}

TEST(DefaultRoute, TheUpDefaultRouteWithTheLowestMetric) {
    const std::string header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    struct Case {
        std::string rows;
        std::optional<std::string> expect;
    };
    const std::vector<Case> cases = {
        {"eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
         "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n",
         "eth0"},
        {"wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
         "eth0\t00000000\t0102A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
         "eth0"},
        {"eth0\t00000000\t0101A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n", std::nullopt},  // not up
        {"eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(platform::defaultRouteInterfaceFromTable(header + c.rows), c.expect) << c.rows;
}

TEST_F(NetworkInterfaceTest, IsInVPNAnswersWhetherProxySettingsArePresent) {
    struct Case {
        std::map<std::string, std::string> environment;
        std::optional<std::string> gnomeMode;
        bool expect;
    };
    const std::vector<Case> cases = {
        {{}, std::nullopt, false},
        {{}, "none", false},
        {{{"http_proxy", ""}}, "none", false},
        {{{"no_proxy", "localhost"}}, std::nullopt, false},
        {{{"https_proxy", "http://proxy:3128"}}, std::nullopt, true},
        {{{"ALL_PROXY", "socks5://proxy:1080"}}, "none", true},
        {{}, "manual", true},
        {{}, "auto", true},
    };
    for (const auto& c : cases) {
        auto settings = platform::proxySettings(
            [&](const std::string& name) -> std::optional<std::string> {
                auto it = c.environment.find(name);
                if (it == c.environment.end()) return std::nullopt;
                return it->second;
            },
            c.gnomeMode);
        plugin.setSource({nullptr, nullptr, [settings] { return settings; }});
        delegate.clear();
        plugin.invokeAction("isInVPN", command("NetworkInterface", "isInVPN"));
        ASSERT_EQ(delegate.count(), 1u);
        EXPECT_EQ(delegate.last().result.status(), WHCommandStatus_OK);
        EXPECT_EQ(delegate.last().result.message(), std::optional<Value>(c.expect)) << c.gnomeMode.value_or("-");
    }
}

TEST_F(NetworkInterfaceTest, IsInVPNReadsTheEnvironmentOfThisProcess) {
    for (const char* name : {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                             "FTP_PROXY", "ALL_PROXY"}) {
        ::unsetenv(name);
    }
    plugin.setSource(NetworkInterface::systemSource());
    auto mode = platform::gnomeProxyMode();
    plugin.invokeAction("isInVPN", command("NetworkInterface", "isInVPN"));
    EXPECT_EQ(delegate.last().result.message(), std::optional<Value>(mode && *mode != "none"));
    ::setenv("https_proxy", "http://127.0.0.1:3128", 1);
    plugin.invokeAction("isInVPN", command("NetworkInterface", "isInVPN"));
    EXPECT_EQ(delegate.last().result.message(), std::optional<Value>(true));
    ::unsetenv("https_proxy");
}

TEST_F(NetworkInterfaceTest, IsInVPNReadsTheGnomeProxyMode) {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    g_autoptr(GSettingsSchema) schema =
        source ? g_settings_schema_source_lookup(source, "org.gnome.system.proxy", TRUE) : nullptr;
    if (!schema) GTEST_SKIP() << "no GNOME proxy schema installed";
    g_autoptr(GSettings) settings = g_settings_new("org.gnome.system.proxy");
    plugin.setSource(NetworkInterface::systemSource());
    for (const char* mode : {"manual", "none"}) {
        g_settings_set_string(settings, "mode", mode);
        EXPECT_EQ(platform::gnomeProxyMode(), std::optional<std::string>(mode));
        delegate.clear();
        plugin.invokeAction("isInVPN", command("NetworkInterface", "isInVPN"));
        ASSERT_EQ(delegate.count(), 1u);
        EXPECT_EQ(delegate.last().result.message(), std::optional<Value>(std::string(mode) == "manual")) << mode;
    }
    g_settings_reset(settings, "mode");
}

}  // namespace
