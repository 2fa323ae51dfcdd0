// needs: display
// The bundled page's intercom section in a real web view, calling SIPp on 127.0.0.1: the call's
// state as it goes, mute, and hang-up.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include "app/Interface.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/value.h"
#include "tests/support/page_fixture.h"
#include "tests/support/sipp_peer.h"
#include "tests/support/test_util.h"

TEST(IntercomPage, CallsMutesAndHangsUp) {
#ifndef KIVANO_HAVE_LINPHONE
    GTEST_SKIP() << "built without a SIP library";
#endif
    if (!testutil::SippPeer::available()) GTEST_SKIP() << "SIPp is not installed";
    gtk_init(nullptr, nullptr);
    testutil::LogCapture log;
    auto ui = MainInterface::load();
    // The run ends as the program's does: the intercom ends and its worker stops before the test
    // program's exit handlers run (the SIP library's own statics go with them).
    struct EndOfRun {
        ~EndOfRun() { platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillTerminateNotification); }
    } endOfRun;
    ASSERT_TRUE(testutil::spinUntil([&] { return ui->viewController->mainFrameLoaded; }, 30));
    ASSERT_TRUE(testutil::pageShows(*ui, log, "typeof webhost", "object", 15));
    ASSERT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('bridge-state').textContent", "native side ready", 15))
        << "deviceready";
    // The peer's time-out runs from its start: it starts once the page is ready.
    testutil::SippPeer peer("answer");
    ASSERT_TRUE(peer.started());

    // The peer checks the From identity and the headers the password adds.
    std::string target = "sip:door@127.0.0.1:" + std::to_string(peer.port());
    ui->webView->evaluateScript(
        "document.getElementById('ic-target').value = " + platform::jsStringLiteral(target, '\'') + ";"
        "document.getElementById('ic-pass').value = 'geheim';"
        "document.getElementById('ic-user').value = 'intercom-test';"
        "document.getElementById('ic-host').value = '127.0.0.1';"
        "document.getElementById('ic-port').value = '" + std::to_string(testutil::freeSipPort()) + "';"
        "document.getElementById('ic-call').click();");
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('ic-state').textContent", "Confirmed (200 OK), PCMU", 15));
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('ic-hangup').disabled", "false", 15));

    ui->webView->evaluateScript("var m = document.getElementById('ic-mute'); m.checked = true; m.dispatchEvent(new Event('change'));");
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('event-log').textContent", "microphone muted", 15));

    ui->webView->evaluateScript("document.getElementById('ic-hangup').click();");
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('ic-state').textContent", "DICONNCT (200 User hung up)", 15));
    EXPECT_TRUE(testutil::pageShows(*ui, log, "document.getElementById('ic-call').disabled", "false", 15));
    EXPECT_EQ(peer.wait(), 0) << peer.errors();
}
