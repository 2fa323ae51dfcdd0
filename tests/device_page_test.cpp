// needs: display
// The bundled page's "This computer" section in a real web view: device information, the
// connection type as it changes, and locale formats.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/Interface.h"
#include "platform/dispatch.h"
#include "platform/paths.h"
#include "platform/reachability_source.h"
#include "plugins/standard/WHDevice.h"
#include "tests/support/page_fixture.h"
#include "tests/support/test_util.h"

namespace {
constexpr platform::ReachabilityFlags kReachable = platform::kReachabilityFlagReachable;
constexpr platform::ReachabilityFlags kIsDirect = platform::kReachabilityFlagIsDirect;
}  // namespace

TEST(DevicePage, ShowsDeviceConnectionAndFormats) {
    setenv("LC_ALL", "de_AT.UTF-8", 1);
    setenv("TZ", "Europe/Vienna", 1);
    gtk_init(nullptr, nullptr);
    testutil::TempDir root;
    platform::makeDirs(root.path() + "/etc");
    testutil::writeFile(root.path() + "/etc/os-release", "NAME=\"Probe OS\"\nVERSION_ID=7\n");
    WHDevice::setSystemRoot(root.path());
    platform::ReachabilitySource::setSystemFlagsForTesting(kReachable | kIsDirect);

    testutil::LogCapture log;
    auto ui = MainInterface::load();
    ASSERT_TRUE(testutil::spinUntil([&] { return ui->viewController->mainFrameLoaded; }, 30));

    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('connection-type').textContent", "probe:wifi"));
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('device-info').textContent", "Probe OS"));
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('locale-formats').textContent", "de-AT"));
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('locale-formats').textContent", "So. Mo. Di."));

    platform::ReachabilitySource::setSystemFlagsForTesting(0);
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('connection-type').textContent", "probe:none"));
    platform::ReachabilitySource::setSystemFlagsForTesting(kReachable);
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('connection-type').textContent", "probe:wifi"));

    ui.reset();
    WHDevice::setSystemRoot("");
    platform::ReachabilitySource::setSystemFlagsForTesting(std::nullopt);
}
