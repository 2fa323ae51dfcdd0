// needs: display
// The bundled page's camera view in a real web view: pictures from the loopback camera appear in
// the <img> through the native proxy, and Stop ends the stream.
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include "app/Interface.h"
#include "platform/dispatch.h"
#include "tests/support/camera_server.h"
#include "tests/support/test_util.h"

namespace {
bool pageShows(MainInterface& ui, testutil::LogCapture& log, const std::string& expression, const std::string& wanted) {
    return testutil::spinUntil(
        [&] {
            log.clear();
            ui.webView->evaluateScript("console.log('probe:' + (" + expression + "))");
            platform::runMainLoopFor(0.1);
            for (const auto& line : log.lines())
                if (line.rfind("probe:", 0) == 0 && line.find(wanted) != std::string::npos) return true;
            return false;
        },
        20);
}
}  // namespace

TEST(CameraPage, ShowsTheCamerasPicturesUntilStopped) {
    gtk_init(nullptr, nullptr);
    testutil::CameraServer camera;
    testutil::LogCapture log;
    auto ui = MainInterface::load();
    ASSERT_TRUE(testutil::spinUntil([&] { return ui->viewController->mainFrameLoaded; }, 30));
    ASSERT_TRUE(pageShows(*ui, log, "document.getElementById('bridge-state').textContent", "ready"));

    ui->webView->evaluateScript("document.getElementById('cam-url').value = '" + camera.url("/digest/stream.mjpg") +
                                "'; document.getElementById('cam-user').value = 'viewer';"
                                " document.getElementById('cam-password').value = 'secret';"
                                " document.getElementById('cam-start').click();");
    // Decoded pictures of the camera's size, several of them.
    EXPECT_TRUE(pageShows(*ui, log, "document.getElementById('cam-image').naturalWidth + 'x' + "
                                    "document.getElementById('cam-image').naturalHeight", "probe:16x12"));
    EXPECT_TRUE(pageShows(*ui, log, "document.getElementById('cam-state').textContent", "5 frames"));

    ui->webView->evaluateScript("document.getElementById('cam-stop').click();");
    EXPECT_TRUE(pageShows(*ui, log, "document.getElementById('cam-state').textContent", "stopped after"));
    EXPECT_TRUE(testutil::spinUntil([&] { return camera.openStreams() == 0; }));

    // A camera that is not there: the page shows the report.
    ui->webView->evaluateScript("document.getElementById('cam-url').value = '" + camera.url("/nothing.mjpg") +
                                "'; document.getElementById('cam-start').click();");
    EXPECT_TRUE(pageShows(*ui, log, "document.getElementById('cam-state').textContent", "HttpError 404"));
    ui.reset();
}
