// needs: display
// The bundled page's "This computer" section in a real web view: device information, the
// connection type as it changes, and locale formats.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/Interface.h"
#include "platform/dispatch.h"
#include "platform/network_monitor.h"
#include "platform/paths.h"
#include "plugins/standard/WHDevice.h"
#include "tests/support/page_fixture.h"
#include "tests/support/test_util.h"

using namespace platform::reachability;

TEST(DevicePage, ShowsDeviceConnectionAndFormats) {
    setenv("LC_ALL", "de_AT.UTF-8", 1);
    setenv("TZ", "Europe/Vienna", 1);
    gtk_init(nullptr, nullptr);
    testutil::TempDir root;
    platform::makeDirs(root.path() + "/etc");
    testutil::writeFile(root.path() + "/etc/os-release", "NAME=\"Probe OS\"\nVERSION_ID=7\n");
    WHDevice::setSystemRoot(root.path());
    platform::NetworkMonitor::setFlagsForTesting(kReachable | kIsDirect);

    testutil::LogCapture log;
    auto ui = MainInterface::load();
    ASSERT_TRUE(testutil::spinUntil([&] { return ui->viewController->mainFrameLoaded; }, 30));

    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('connection-type').textContent", "probe:wifi"));
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('device-info').textContent", "Probe OS"));
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('locale-formats').textContent", "de-AT"));
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('locale-formats').textContent", "So. Mo. Di."));

    platform::NetworkMonitor::setFlagsForTesting(0);
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('connection-type').textContent", "probe:none"));
    platform::NetworkMonitor::setFlagsForTesting(kReachable);
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('connection-type').textContent", "probe:wifi"));

    ui.reset();
    WHDevice::setSystemRoot("");
    platform::NetworkMonitor::setFlagsForTesting(std::nullopt);
}
