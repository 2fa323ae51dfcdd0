// needs: display
// The desktop side of the program: the entries it writes start it with the right arguments,
// its icons resolve by name in the icon theme, and the user folders come from the XDG files.
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/stat.h>

#include "platform/application.h"
#include "platform/autostart.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/paths.h"
#include "platform/status_item.h"
#include "platform/url_handler.h"
#include "tests/support/test_util.h"

namespace {

const std::vector<std::string> kSchemes = {"kivano", "kivanocmd", "kvtarragon"};

// A stand-in program at `path` that writes its arguments ($0 first), one a line, to `out`.
void writeRecorder(const std::string& path, const std::string& out) {
    platform::makeDirs(path.substr(0, path.find_last_of('/')));
    g_autofree gchar* quoted = g_shell_quote(out.c_str());
    testutil::writeFile(path, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > " + std::string(quoted) + ".tmp && mv " +
                                  quoted + ".tmp " + quoted + "\n");
    ::chmod(path.c_str(), 0755);
}

// Launches the entry's application with the URIs and answers the recorded arguments.
std::vector<std::string> launch(GAppInfo* app, const std::vector<std::string>& uris, const std::string& out) {
    ::unlink(out.c_str());
    g_autoptr(GList) list = nullptr;
    for (const auto& u : uris) list = g_list_append(list, const_cast<char*>(u.c_str()));
    g_autoptr(GError) error = nullptr;
    bool launched = g_app_info_launch_uris(app, list, nullptr, &error);
    EXPECT_TRUE(launched) << (error ? error->message : "");
    if (!testutil::spinUntil([&] { return g_file_test(out.c_str(), G_FILE_TEST_EXISTS); }, 10)) return {};
    std::vector<std::string> args;
    std::string text = testutil::readFile(out);
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        args.push_back(text.substr(start, nl - start));
    return args;
}

// Folders a desktop entry's Exec line would split or expand. ("%" is left out: GLib looks for the
// program of an Exec line before it reads "%%" as "%", so no spelling of such a path launches.)
const std::vector<std::string> kProgramFolders = {
    "plain", "with blanks", "quote\"d", "dollar$HOME", "back\\slash", "tick`s", "semi;colon", "a'b",
};

class DesktopEntryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { platform::initMainThread(); }
    testutil::TempDir dir;
};

TEST_F(DesktopEntryTest, SchemeHandlerEntryStartsTheProgramWithTheURL) {
    const std::string out = dir.file("args");
    for (const auto& folder : kProgramFolders) {
        SCOPED_TRACE(folder);
        const std::string program = dir.path() + "/" + folder + "/kivano";
        writeRecorder(program, out);
        const std::string entry = dir.file("handler.desktop");
        testutil::writeFile(entry, platform::schemeHandlerDesktopEntry(program, "com.kivano.Tarragon", kSchemes));
        g_autoptr(GDesktopAppInfo) app = g_desktop_app_info_new_from_filename(entry.c_str());
        ASSERT_TRUE(app) << testutil::readFile(entry);
        EXPECT_TRUE(g_app_info_supports_uris(G_APP_INFO(app)));
        EXPECT_TRUE(g_desktop_app_info_get_nodisplay(app));
        const char* const* types = g_app_info_get_supported_types(G_APP_INFO(app));
        std::vector<std::string> got;
        for (auto t = types; t && *t; ++t) got.emplace_back(*t);
        EXPECT_EQ(got, (std::vector<std::string>{"x-scheme-handler/kivano", "x-scheme-handler/kivanocmd",
                                                  "x-scheme-handler/kvtarragon"}));
        const std::string url = "kivano://hs?mac=504F94A0&loc=wallmount/a%20b";
        EXPECT_EQ(launch(G_APP_INFO(app), {url}, out), (std::vector<std::string>{program, url}));
    }
}

TEST_F(DesktopEntryTest, AutostartEntryStartsTheProgramAtLogin) {
    const std::string out = dir.file("args");
    for (const auto& folder : kProgramFolders) {
        SCOPED_TRACE(folder);
        const std::string program = dir.path() + "/" + folder + "/kivano";
        writeRecorder(program, out);
        ASSERT_TRUE(platform::setAutostartEntry("com.kivano.Test", true, "Kivano", program, "kivano://startup"));
        g_autoptr(GDesktopAppInfo) app =
            g_desktop_app_info_new_from_filename(platform::autostartEntryPath("com.kivano.Test").c_str());
        ASSERT_TRUE(app);
        EXPECT_EQ(launch(G_APP_INFO(app), {}, out), (std::vector<std::string>{program, "kivano://startup"}));
    }
    EXPECT_TRUE(platform::setAutostartEntry("com.kivano.Test", false, "Kivano", "", ""));
}

TEST_F(DesktopEntryTest, UserEntryIsWrittenOnceAndBecomesTheDefaultHandler) {
    // The program in a build tree: "Resources" with the icon beside it.
    const std::string program = dir.path() + "/build/kivano";
    writeRecorder(program, dir.file("args"));
    const std::string icon = dir.path() + "/build/Resources/icons/com.kivano.Tarragon.svg";
    platform::makeDirs(dir.path() + "/build/Resources/icons");
    testutil::writeFile(icon, testutil::readFile(testutil::bundleDir() + "/icons/com.kivano.Tarragon.svg"));

    const std::string path = platform::dataHome() + "/applications/com.kivano.Tarragon.desktop";
    ASSERT_TRUE(platform::writeSchemeHandlerDesktopEntry(program, kSchemes));
    EXPECT_EQ(testutil::readFile(path), platform::schemeHandlerDesktopEntry(program, icon, kSchemes));
    struct stat first{}, second{};
    ASSERT_EQ(::stat(path.c_str(), &first), 0);
    ASSERT_TRUE(platform::writeSchemeHandlerDesktopEntry(program, kSchemes));
    ASSERT_EQ(::stat(path.c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino) << "an unchanged entry is not written again";

    // The test program is no build-tree program: it leaves the user's entries alone.
    EXPECT_FALSE(platform::Bundle::runsFromBuildTree());
    ::unlink(path.c_str());
    platform::installDesktopEntryIfRunFromBuildTree(kSchemes);
    EXPECT_FALSE(g_file_test(path.c_str(), G_FILE_TEST_EXISTS));

    ASSERT_TRUE(platform::writeSchemeHandlerDesktopEntry(program, kSchemes));
    for (const auto& scheme : kSchemes) {
        SCOPED_TRACE(scheme);
        // GIO notices the new entry through its folder monitor.
        ASSERT_TRUE(testutil::spinUntil(
            [&] { return platform::setDefaultHandlerForURLScheme(scheme, "com.kivano.Tarragon"); }, 10));
        EXPECT_EQ(platform::defaultHandlerForURLScheme(scheme), "com.kivano.Tarragon");
    }
    EXPECT_FALSE(platform::setDefaultHandlerForURLScheme("kivano", "com.kivano.Absent"));
}

TEST(Icons, TrayAndApplicationIconsResolveByName) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    platform::useBundleIcons();
    platform::useBundleIcons();  // once in the search path
    GtkIconTheme* theme = gtk_icon_theme_get_default();
    g_auto(GStrv) paths = nullptr;
    gtk_icon_theme_get_search_path(theme, &paths, nullptr);
    int bundleEntries = 0;
    for (gchar** p = paths; *p; ++p) bundleEntries += platform::Bundle::main().resourcePath() + "/icons" == *p;
    EXPECT_EQ(bundleEntries, 1);
    EXPECT_STREQ(gtk_window_get_default_icon_name(), "com.kivano.Tarragon");

    std::vector<std::string> names;
    for (const char* image : {"StatusBarButtonIcon", "StatusBarButtonIconError", "StatusBarButtonIconOffline",
                              "StatusBarButtonIconPresence"}) {
        std::string name = platform::statusIconName(image);
        SCOPED_TRACE(image + (" -> " + name));
        EXPECT_EQ(name.rfind("com.kivano.Tarragon-", 0), 0u);
        EXPECT_EQ(name.substr(name.size() - 9), "-symbolic");
        EXPECT_EQ(std::find(names.begin(), names.end(), name), names.end()) << "one icon per state";
        names.push_back(name);
        g_autoptr(GtkIconInfo) info = gtk_icon_theme_lookup_icon(theme, name.c_str(), 22, GtkIconLookupFlags(0));
        ASSERT_TRUE(info);
        EXPECT_TRUE(gtk_icon_info_is_symbolic(info));
        GdkRGBA fg{0.2, 0.2, 0.2, 1};
        g_autoptr(GError) error = nullptr;
        g_autoptr(GdkPixbuf) pixbuf = gtk_icon_info_load_symbolic(info, &fg, nullptr, nullptr, nullptr, nullptr, &error);
        EXPECT_TRUE(pixbuf) << (error ? error->message : "");
    }
    EXPECT_EQ(platform::statusIconName("other-icon"), "other-icon");

    g_autoptr(GError) error = nullptr;
    g_autoptr(GdkPixbuf) app = gtk_icon_theme_load_icon(theme, "com.kivano.Tarragon", 128, GtkIconLookupFlags(0), &error);
    ASSERT_TRUE(app) << (error ? error->message : "");
    EXPECT_EQ(gdk_pixbuf_get_width(app), 128);
}

TEST(UserFolders, DocumentsFolderFromTheUserDirsFile) {
    const std::string file = platform::configHome() + "/user-dirs.dirs";
    const std::string home = platform::homeDir();
    struct Case {
        std::optional<std::string> content;  // none: no file
        std::string expected;
    };
    // GLib keeps a folder it once read when a reload finds none: the cases without one come first.
    const Case cases[] = {
        {std::nullopt, home + "/Documents"},
        {"XDG_MUSIC_DIR=\"$HOME/Music\"\n", home + "/Documents"},
        {"XDG_DOCUMENTS_DIR=\"Papers\"\n", home + "/Documents"},  // neither $HOME nor absolute
        {"XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n", home + "/Papers"},
        {"# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desk\"\nXDG_DOCUMENTS_DIR=\"/srv/docs\"\n",
         "/srv/docs"},
    };
    platform::makeDirs(platform::configHome());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.value_or("<no file>"));
        if (c.content) {
            testutil::writeFile(file, *c.content);
        } else {
            ::unlink(file.c_str());
        }
        g_reload_user_special_dirs_cache();
        EXPECT_EQ(platform::documentsDir(), c.expected);
    }
}

}  // namespace
