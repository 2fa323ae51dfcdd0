// needs: display
// The bundled page's discovery section in a real web view: a search lists the controllers that
// the responder on loopback announces, once per address, and stopping closes the sockets.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include "app/Interface.h"
#include "bridge/WHViewController.h"
#include "media/KVHSFinder.h"
#include "platform/dispatch.h"
#include "tests/support/discovery_responder.h"
#include "tests/support/page_fixture.h"
#include "tests/support/test_util.h"

using testdisc::bytes;
using testdisc::DiscoveryResponder;

TEST(DiscoveryPage, ListsFoundControllersOncePerAddress) {
    gtk_init(nullptr, nullptr);
    DiscoveryResponder responder;
    // The same controller answers the search twice, and once more to the probe.
    responder.setSsdpReplies({bytes(DiscoveryResponder::controllerSsdpReply("Wohnung", 80)),
                              bytes(DiscoveryResponder::controllerSsdpReply("Wohnung", 80))});
    responder.setProbeReplies({bytes(DiscoveryResponder::controllerProbeReply("Wohnung", 8080))});
    KVHSFinder::Endpoints e;
    e.ssdpLocal = {"127.0.0.1", 0};
    e.ssdpGroup = {"127.0.0.1", responder.ssdpPort()};
    e.broadcastLocal = {"127.0.0.1", 0};
    e.broadcastTarget = {"127.0.0.1", responder.probePort()};
    KVHSFinder::setEndpointsForTesting(e);

    testutil::LogCapture log;
    auto ui = MainInterface::load();
    ASSERT_TRUE(testutil::spinUntil([&] { return ui->viewController->mainFrameLoaded; }, 30));
    ASSERT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('bridge-state').textContent", "ready"));

    ui->webView->evaluateScript("document.getElementById('disc-start').click()");
    ASSERT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('disc-state').textContent", "searching… 2 found"));
    ASSERT_TRUE(responder.waitForRequests(1, 1));
    platform::runMainLoopFor(0.2);
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.querySelectorAll('#disc-list li').length", "probe:2"));
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('disc-list').textContent",
                          "Wohnung — 127.0.0.1:80Use" "Wohnung — 127.0.0.1:8080Use"));

    auto it = ui->viewController->pluginObjects.find("KVHSFinder");
    ASSERT_NE(it, ui->viewController->pluginObjects.end());
    auto* finder = static_cast<KVHSFinder*>(it->second.get());
    EXPECT_TRUE(finder->isSearching);

    ui->webView->evaluateScript("document.getElementById('disc-stop').click()");
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('disc-state').textContent", "probe:2 found"));
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('disc-start').disabled", "probe:false"));
    EXPECT_FALSE(finder->isSearching);
    EXPECT_FALSE(finder->ssdpSocket || finder->udpSocket);

    // A found address goes into the controller form.
    ui->webView->evaluateScript("document.querySelector('#disc-list li[data-address=\"127.0.0.1:8080\"] button').click()");
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('hs-local').value", "probe:127.0.0.1:8080"));

    ui.reset();
    KVHSFinder::setEndpointsForTesting(std::nullopt);
}
