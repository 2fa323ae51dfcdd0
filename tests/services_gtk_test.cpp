// needs: display bus
// The GTK side of the desktop services: the native save chooser and the web view's
// authentication challenges.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "platform/gtk_handles.h"
#include "platform/dispatch.h"
#include "platform/save_panel.h"
#include "platform/webview.h"
#include "plugins/services/ApplicationManager.h"
#include "plugins/services/StorageManager.h"
#include "tests/support/download_server.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/test_util.h"

namespace {

class ServicesGtkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }
    void SetUp() override { platform::initMainThread(); }
};

GtkWidget* openFileChooser() {
    GtkWidget* found = nullptr;
    g_autoptr(GList) windows = gtk_window_list_toplevels();
    for (GList* l = windows; l; l = l->next) {
        if (GTK_IS_FILE_CHOOSER_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) found = GTK_WIDGET(l->data);
    }
    return found;
}

// Whether the chooser shows the folder.
bool showsFolder(GtkWidget* chooser, const std::string& folder) {
    g_autofree gchar* shown = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(chooser));
    return shown && folder == shown;
}

TEST_F(ServicesGtkTest, SaveChooserIsModelessProposesTheNameAndWritesOnAccept) {
    testutil::TempDir dir;
    struct Outcome {
        int calls = 0;
        bool saved = false;
        std::optional<std::string> path;
    };
    for (bool accept : {true, false}) {
        SCOPED_TRACE(accept ? "accept" : "cancel");
        Outcome out;
        StorageManager::showSaveDialog(Bytes{'d', 'm', 'g'}, "ZorudaZidovAdad.dmg",
                                       [&](bool saved, const std::optional<std::string>& path, const std::optional<std::string>&) {
                                           ++out.calls;
                                           out.saved = saved;
                                           out.path = path;
                                       });
        GtkWidget* chooser = nullptr;
        ASSERT_TRUE(testutil::spinUntil([&] { return (chooser = openFileChooser()) != nullptr; }));
        EXPECT_FALSE(gtk_window_get_modal(GTK_WINDOW(chooser)));
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(chooser)), nullptr) << "a window of its own";
        g_autofree char* name = gtk_file_chooser_get_current_name(GTK_FILE_CHOOSER(chooser));
        EXPECT_STREQ(name, "ZorudaZidovAdad.dmg");
        EXPECT_TRUE(gtk_file_chooser_get_create_folders(GTK_FILE_CHOOSER(chooser)));
        EXPECT_EQ(out.calls, 0);
        if (accept) {
            gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), dir.path().c_str());
            gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), "update");
            platform::runMainLoopFor(0.1);
            gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
        } else {
            gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_CANCEL);
        }
        ASSERT_TRUE(testutil::spinUntil([&] { return out.calls > 0; }));
        platform::runMainLoopFor(0.1);
        EXPECT_EQ(out.calls, 1);
        EXPECT_EQ(out.saved, accept);
        if (accept) {
            // Only the type "dmg" is allowed: it is appended to a name without it.
            EXPECT_EQ(out.path, std::optional<std::string>(dir.file("update.dmg")));
            EXPECT_EQ(testutil::readFile(dir.file("update.dmg")), "dmg");
        } else {
            EXPECT_FALSE(out.path.has_value());
        }
        EXPECT_EQ(openFileChooser(), nullptr);
    }
}

GtkWidget* openQuestion() {
    GtkWidget* found = nullptr;
    g_autoptr(GList) windows = gtk_window_list_toplevels();
    for (GList* l = windows; l; l = l->next) {
        if (GTK_IS_MESSAGE_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) found = GTK_WIDGET(l->data);
    }
    return found;
}

TEST_F(ServicesGtkTest, AnExistingFileUnderTheAppendedTypeIsReplacedOnlyAfterAsking) {
    testutil::TempDir dir;
    // A second name with the same beginning keeps the chooser's completion from turning "update"
    // into "update.dmg" (after which the chooser would ask itself).
    testutil::writeFile(dir.file("update2.dmg"), "other");
    for (bool replace : {false, true}) {
        SCOPED_TRACE(replace ? "replace" : "keep");
        testutil::writeFile(dir.file("update.dmg"), "old");
        int calls = 0;
        bool saved = false;
        StorageManager::showSaveDialog(Bytes{'n', 'e', 'w'}, "ZorudaZidovAdad.dmg",
                                       [&](bool s, const std::optional<std::string>&, const std::optional<std::string>&) {
                                           ++calls;
                                           saved = s;
                                       });
        GtkWidget* chooser = nullptr;
        ASSERT_TRUE(testutil::spinUntil([&] { return (chooser = openFileChooser()) != nullptr; }));
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), dir.path().c_str());
        // Typed without the type: the chooser sees no file "update" and asks nothing itself.
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), "update");
        platform::runMainLoopFor(0.1);
        gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);

        GtkWidget* question = nullptr;
        ASSERT_TRUE(testutil::spinUntil([&] { return (question = openQuestion()) != nullptr; }));
        g_autofree gchar* text = nullptr;
        g_object_get(question, "text", &text, nullptr);
        EXPECT_NE(std::string(text ? text : "").find("update.dmg"), std::string::npos) << (text ? text : "");
        EXPECT_EQ(testutil::readFile(dir.file("update.dmg")), "old") << "nothing written before the answer";
        EXPECT_EQ(calls, 0);
        gtk_dialog_response(GTK_DIALOG(question), replace ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_CANCEL);

        if (!replace) {
            // Back to the chooser, in the same folder; the user gives up there.
            ASSERT_TRUE(testutil::spinUntil([&] { return (chooser = openFileChooser()) != nullptr; }));
            EXPECT_TRUE(testutil::spinUntil([&] { return showsFolder(chooser, dir.path()); })) << "in the same folder";
            gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_CANCEL);
        }
        ASSERT_TRUE(testutil::spinUntil([&] { return calls > 0; }));
        platform::runMainLoopFor(0.1);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(saved, replace);
        EXPECT_EQ(testutil::readFile(dir.file("update.dmg")), replace ? "new" : "old");
        EXPECT_EQ(openQuestion(), nullptr);
        EXPECT_EQ(openFileChooser(), nullptr);
    }
}

class PageWatcher : public platform::WebViewClient {
public:
    void webViewMainFrameDidFinishLoad(const std::string& url) override { loaded.push_back(url); }
    std::vector<std::string> loaded;
};

class Challenges : public platform::WebViewResourceLoadDelegate {
public:
    platform::AuthenticationAnswer webViewDidReceiveAuthenticationChallenge(const platform::AuthenticationChallenge& c) override {
        seen.push_back(c);
        return platform::AuthenticationAnswer::Cancel;
    }
    std::vector<platform::AuthenticationChallenge> seen;
};

TEST_F(ServicesGtkTest, AuthenticationChallengesContinueWithoutCredentials) {
    testutil::DownloadServer server;
    testutil::DownloadServer::Answer protectedPage{401, "<html><body>unauthorised</body></html>", "text/html",
                                                   {{"WWW-Authenticate", "Basic realm=\"hub\""}}};
    server.route("/protected", protectedPage);
    server.route("/page", {200,
                           "<html><body><script>fetch('/protected').then(function(r){"
                           "document.title='status '+r.status;});</script></body></html>",
                           "text/html"});

    auto webView = platform::createWebView();
    PageWatcher watcher;
    webView->setClient(&watcher);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(window), platform::gtkWidgetOf(*webView));

    testutil::RecordingDelegate delegate{testutil::RecordingDelegate::Background::Pool};
    auto plugin = std::make_unique<ApplicationManager>(webView.get());
    plugin->setCommandDelegate(&delegate);
    plugin->pluginInitialize();
    EXPECT_EQ(webView->resourceLoadDelegate(), plugin.get());
    gtk_widget_show_all(window);

    // The main frame and a request of the page both get the 401 answer, without a dialog.
    webView->loadURL(server.url("/protected"), 30);
    ASSERT_TRUE(testutil::spinUntil([&] { return !watcher.loaded.empty(); }, 30));
    EXPECT_EQ(watcher.loaded.back(), server.url("/protected"));
    EXPECT_EQ(openFileChooser(), nullptr);
    webView->loadURL(server.url("/page"), 30);
    ASSERT_TRUE(testutil::spinUntil([&] { return watcher.loaded.size() >= 2; }, 30));
    auto paths = [&] {
        auto p = server.requestedPaths();
        return std::count(p.begin(), p.end(), "/protected");
    };
    ASSERT_TRUE(testutil::spinUntil([&] { return paths() >= 2; }, 30));

    // Cancelling instead ends the load: the challenge reached the delegate.
    Challenges cancel;
    webView->setResourceLoadDelegate(&cancel);
    webView->loadURL(server.url("/protected"), 30);
    ASSERT_TRUE(testutil::spinUntil([&] { return !cancel.seen.empty(); }, 30));
    EXPECT_EQ(cancel.seen.front().host, "127.0.0.1");
    EXPECT_EQ(cancel.seen.front().realm, "hub");
    EXPECT_EQ(cancel.seen.front().port, server.port());

    webView->setResourceLoadDelegate(plugin.get());
    plugin.reset();
    EXPECT_EQ(webView->resourceLoadDelegate(), nullptr) << "the plug-in leaves no dangling delegate";
    webView->setClient(nullptr);
    gtk_widget_destroy(window);
}

}  // namespace
