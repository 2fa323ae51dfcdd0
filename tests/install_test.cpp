// needs: display bus
// The program as installed: the layout below a prefix, the desktop metadata passing the desktop's
// validators, the installed program started from its menu entry on its own bundle and handling its
// URL scheme, the build-tree program writing its user entry, and the Debian package.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>

#include "platform/dispatch.h"
#include "platform/paths.h"
#include "tests/support/test_util.h"

namespace fs = std::filesystem;

namespace {

const std::string kId = "com.kivano.Tarragon";

std::string env(const char* name, const char* fallback = "") {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

struct Outcome {
    int status = -1;  // exit status; -1 when the program did not exit normally
    std::string out, err;
};

// Runs a program to its end with the environment changed by `set` (empty value: removed).
Outcome run(const std::vector<std::string>& argv, const std::vector<std::pair<std::string, std::string>>& set = {}) {
    g_autoptr(GSubprocessLauncher) launcher =
        g_subprocess_launcher_new(GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE));
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer's run time that the harness preloads for the web processes: the programs run
    // here (system tools, and ours without a web view) need none, and some hang under it.
    g_subprocess_launcher_unsetenv(launcher, "LD_PRELOAD");
#endif
    for (const auto& [k, v] : set) {
        if (v.empty()) {
            g_subprocess_launcher_unsetenv(launcher, k.c_str());
        } else {
            g_subprocess_launcher_setenv(launcher, k.c_str(), v.c_str(), TRUE);
        }
    }
    std::vector<const char*> args;
    for (const auto& a : argv) args.push_back(a.c_str());
    args.push_back(nullptr);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GSubprocess) p = g_subprocess_launcher_spawnv(launcher, args.data(), &error);
    Outcome o;
    if (!p) {
        o.err = error ? error->message : "spawn failed";
        return o;
    }
    g_autofree char* out = nullptr;
    g_autofree char* err = nullptr;
    g_subprocess_communicate_utf8(p, nullptr, nullptr, &out, &err, nullptr);
    o.out = out ? out : "";
    o.err = err ? err : "";
    if (g_subprocess_get_if_exited(p)) o.status = g_subprocess_get_exit_status(p);
    return o;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The process id of the bus name's owner on the session bus; 0 when it has none.
unsigned ownerPid(const std::string& name) {
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus) return 0;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                            "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                                            g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(u)"),
                                                            G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (!reply) return 0;
    guint32 pid = 0;
    g_variant_get(reply, "(u)", &pid);
    return pid;
}

bool waitFor(const std::function<bool()>& done, double seconds) {
    return platform::runMainLoopUntil(done, seconds);
}

// Ends a program this test started (also through the launcher) and waits until its name is free.
void stop(unsigned pid) {
    if (pid == 0) return;
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    EXPECT_TRUE(waitFor([&] { return ownerPid(kId) == 0; }, 20)) << "the program did not end";
}

class InstalledProgram : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        platform::initMainThread();
        std::string tmpl = env("HOME", "/tmp") + "/prefix.XXXXXX";
        ASSERT_TRUE(g_mkdtemp(tmpl.data()));
        prefix = tmpl;
        auto o = run({env("KIVANO_CMAKE_COMMAND", "cmake"), "--install", KIVANO_BINARY_DIR, "--prefix", prefix});
        ASSERT_EQ(o.status, 0) << o.out << o.err;
    }
    static void TearDownTestSuite() { fs::remove_all(prefix); }

    // The environment of a desktop session that has the prefix among its data folders and on its path.
    static std::vector<std::pair<std::string, std::string>> sessionEnv() {
        return {{"KIVANO_BUNDLE_DIR", ""},
                {"PATH", prefix + "/bin:" + env("PATH", "/usr/bin:/bin")},
                {"XDG_DATA_DIRS", prefix + "/share:/usr/local/share:/usr/share"}};
    }

    // Replaces the installed start page by one that reports its address and the URLs it is handed.
    static void installProbePage() {
        testutil::writeFile(prefix + "/share/kivano/www/index.html", R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><script src="js/webhost.js"></script><script>
document.addEventListener('deviceready', function () { console.log('probe page ' + location.href); });
window.handleOpenURL = function (url) { console.log('probe url ' + url); };
</script></head><body></body></html>
)");
    }

    static std::string prefix;
};
std::string InstalledProgram::prefix;

std::set<std::string> filesBelow(const std::string& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_directory()) out.insert(fs::relative(e.path(), root).string());
    }
    return out;
}

TEST_F(InstalledProgram, LayoutBelowThePrefix) {
    const std::string lib = env("KIVANO_INSTALL_LIBDIR", "lib");
    std::set<std::string> expected = {
        "bin/kivano",
        lib + "/kivano/libkivano_core.so",
        lib + "/kivano/web-extensions/libkivano_web_extension.so",
        "share/applications/" + kId + ".desktop",
        "share/applications/mimeinfo.cache",  // refreshed at the install, how GIO finds scheme handlers
        "share/icons/hicolor/scalable/apps/" + kId + ".svg",
        "share/metainfo/" + kId + ".metainfo.xml",
        "share/kivano/config.xml",
        "share/kivano/strings/en.json",
        "share/kivano/icons/" + kId + ".svg",
        "share/man/man1/kivano.1.gz",
        "share/doc/kivano/copyright",
        "share/doc/kivano/changelog.Debian.gz",
        "share/lintian/overrides/kivano",
    };
#ifdef KIVANO_HAVE_LINPHONE
    expected.insert(lib + "/kivano/libkivano_sip.so");
#endif
    for (const char* state : {"", "-error", "-offline", "-presence"}) {
        std::string icon = kId + "-status" + state + "-symbolic.svg";
        expected.insert("share/icons/hicolor/scalable/status/" + icon);
        expected.insert("share/kivano/icons/" + icon);
    }
    for (const auto& f : filesBelow(testutil::sourceDir() + "/www")) {
        if (f != "config.xml") expected.insert("share/kivano/www/" + f);
    }
    EXPECT_EQ(filesBelow(prefix), expected) << "no build stamps or stray files";

    // Nothing of the build machine: the library by a path relative to the program, no tree paths in its data.
    auto dyn = run({"readelf", "-d", prefix + "/bin/kivano"});
    ASSERT_EQ(dyn.status, 0) << dyn.err;
    EXPECT_TRUE(contains(dyn.out, "[$ORIGIN/../" + lib + "/kivano]")) << dyn.out;
    for (const std::string& file : std::vector<std::string>{"bin/kivano", lib + "/kivano/libkivano_core.so",
                                                            lib + "/kivano/web-extensions/libkivano_web_extension.so"}) {
        SCOPED_TRACE(file);
        auto data = run({"readelf", "-p", ".rodata", prefix + "/" + file});
        ASSERT_EQ(data.status, 0) << data.err;
#ifdef __SANITIZE_ADDRESS__
        // The sanitizers' own data names each source file by its full path (GCC maps no prefix
        // there); such a build is never shipped.
        continue;
#endif
        EXPECT_FALSE(contains(data.out, KIVANO_BINARY_DIR));
        EXPECT_FALSE(contains(data.out, KIVANO_SOURCE_DIR));
    }
}

TEST_F(InstalledProgram, DesktopMetadataPassesTheValidators) {
    const std::string entry = prefix + "/share/applications/" + kId + ".desktop";
    auto desktop = run({"desktop-file-validate", entry});
    EXPECT_EQ(desktop.status, 0) << desktop.out << desktop.err;
    EXPECT_EQ(desktop.out + desktop.err, "") << "no hints either";
    auto appstream = run({"appstreamcli", "validate", "--no-net", prefix + "/share/metainfo/" + kId + ".metainfo.xml"});
    EXPECT_EQ(appstream.status, 0) << appstream.out << appstream.err;

    g_autoptr(GKeyFile) file = g_key_file_new();
    ASSERT_TRUE(g_key_file_load_from_file(file, entry.c_str(), G_KEY_FILE_NONE, nullptr));
    auto text = [&](const char* key) {
        g_autofree gchar* v = g_key_file_get_string(file, G_KEY_FILE_DESKTOP_GROUP, key, nullptr);
        return std::string(v ? v : "");
    };
    EXPECT_EQ(text("Exec"), "kivano %u");
    EXPECT_EQ(text("Icon"), kId);
    EXPECT_EQ(text("MimeType"), "x-scheme-handler/kivano;x-scheme-handler/kivanocmd;x-scheme-handler/kvtarragon;");
    EXPECT_FALSE(g_key_file_get_boolean(file, G_KEY_FILE_DESKTOP_GROUP, "NoDisplay", nullptr)) << "shown in menus";
    EXPECT_FALSE(text("Categories").empty());
}

TEST_F(InstalledProgram, HelpAndVersionAnswerWithoutStartingTheInterface) {
    // No display and no bus: starting the interface would fail.
    std::vector<std::pair<std::string, std::string>> bare = {
        {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"DBUS_SESSION_BUS_ADDRESS", ""}, {"KIVANO_BUNDLE_DIR", ""}};
    const std::string program = prefix + "/bin/kivano";
    auto version = run({program, "--version"}, bare);
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out, std::string("Kivano " KIVANO_SHORT_VERSION " (" KIVANO_BUILD_NUMBER ")\n"));
    for (const char* help : {"--help", "-h"}) {
        SCOPED_TRACE(help);
        auto usage = run({program, help}, bare);
        EXPECT_EQ(usage.status, 0) << usage.err;
        EXPECT_TRUE(contains(usage.out, "kivano [OPTION…] [URL…]")) << usage.out;
        EXPECT_TRUE(contains(usage.out, "--version")) << usage.out;
    }
    auto unknown = run({program, "--no-such-option"}, bare);
    EXPECT_NE(unknown.status, 0);
    EXPECT_TRUE(contains(unknown.err, "--no-such-option")) << unknown.err;
}

// Starts a program with the session's environment, its standard error into `log`.
GSubprocess* spawnInSession(const std::vector<std::string>& argv,
                            const std::vector<std::pair<std::string, std::string>>& set, const std::string& log) {
    g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE);
    for (const auto& [k, v] : set) {
        if (v.empty()) {
            g_subprocess_launcher_unsetenv(launcher, k.c_str());
        } else {
            g_subprocess_launcher_setenv(launcher, k.c_str(), v.c_str(), TRUE);
        }
    }
    g_subprocess_launcher_set_stderr_file_path(launcher, log.c_str());
    std::vector<const char*> args;
    for (const auto& a : argv) args.push_back(a.c_str());
    args.push_back(nullptr);
    return g_subprocess_launcher_spawnv(launcher, args.data(), nullptr);
}

// Inode and modification time of a file; none when it is absent.
std::optional<std::tuple<ino_t, time_t, long>> stamp(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return std::make_tuple(st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
}

TEST_F(InstalledProgram, StartsFromItsEntryOnItsBundleAndHandlesItsScheme) {
    installProbePage();
    const std::string entry = prefix + "/share/applications/" + kId + ".desktop";
    const std::string userEntry = platform::dataHome() + "/applications/" + kId + ".desktop";
    const std::string mimeapps = platform::configHome() + "/mimeapps.list";
    const std::string page = "probe page file://" + prefix + "/share/kivano/www/index.html";
    testutil::TempDir logs;
    const std::string log = logs.file("first.log"), log2 = logs.file("second.log");
    auto logged = [](const std::string& file, const std::string& line) {
        return waitFor([&] { return contains(testutil::readFile(file), line); }, 60);
    };

    // Installed and not started yet: the entry handles the scheme.
    auto mime = run({"gio", "mime", "x-scheme-handler/kivano"}, sessionEnv());
    EXPECT_TRUE(contains(mime.out, "Default application for “x-scheme-handler/kivano”: " + kId + ".desktop"))
        << mime.out;

    // Started as the menu starts it: "kivano %u" found on the path.
    g_autoptr(GSubprocess) gio = spawnInSession({"gio", "launch", entry}, sessionEnv(), log);
    ASSERT_TRUE(gio);
    g_subprocess_wait(gio, nullptr, nullptr);
    ASSERT_TRUE(logged(log, page)) << testutil::readFile(log);
    unsigned pid = ownerPid(kId);
    ASSERT_NE(pid, 0u);
    g_autofree gchar* exe = g_file_read_link(("/proc/" + std::to_string(pid) + "/exe").c_str(), nullptr);
    EXPECT_STREQ(exe, (prefix + "/bin/kivano").c_str());

    // A URL opened on the desktop reaches the running instance's page.
    auto open = run({"gio", "open", "kivano://hs?mac=504F94A0"}, sessionEnv());
    EXPECT_EQ(open.status, 0) << open.err;
    EXPECT_TRUE(logged(log, "probe url kivano://hs?mac=504F94A0")) << testutil::readFile(log);
    mime = run({"gio", "mime", "x-scheme-handler/kvtarragon"}, sessionEnv());
    EXPECT_TRUE(contains(mime.out, "Default application for “x-scheme-handler/kvtarragon”: " + kId + ".desktop"))
        << mime.out;
    EXPECT_FALSE(g_file_test(userEntry.c_str(), G_FILE_TEST_EXISTS)) << "the installed entry serves";
    stop(pid);

    // Opening a URL starts it when none runs; starting again leaves the user's settings alone.
    auto settings = stamp(mimeapps);
    g_autoptr(GSubprocess) again = spawnInSession({"gio", "open", "kivanocmd://quick?uuid=1"}, sessionEnv(), log2);
    ASSERT_TRUE(again);
    g_subprocess_wait(again, nullptr, nullptr);
    EXPECT_TRUE(logged(log2, page)) << testutil::readFile(log2);
    EXPECT_TRUE(logged(log2, "probe url kivanocmd://quick?uuid=1")) << testutil::readFile(log2);
    EXPECT_EQ(stamp(mimeapps), settings) << "the default handlers are not written again";
    EXPECT_FALSE(g_file_test(userEntry.c_str(), G_FILE_TEST_EXISTS));
    stop(ownerPid(kId));
}

TEST_F(InstalledProgram, BuildTreeProgramWritesAnEntryOfItsOwn) {
    // Beside an installed program, a build tree's entry and default handlers must not take the
    // installed entry's id: a user entry of that id hides the installed one from the menus.
    const std::string ownId = kId + ".Devel";
    const std::string userEntry = platform::dataHome() + "/applications/" + ownId + ".desktop";
    const std::string program = std::string(KIVANO_BINARY_DIR) + "/kivano";
    g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDERR_SILENCE);
    g_subprocess_launcher_unsetenv(launcher, "KIVANO_BUNDLE_DIR");
    g_autoptr(GSubprocess) p = g_subprocess_launcher_spawn(launcher, nullptr, program.c_str(), nullptr);
    ASSERT_TRUE(p);
    ASSERT_TRUE(waitFor([&] { return ownerPid(kId) != 0 && g_file_test(userEntry.c_str(), G_FILE_TEST_EXISTS); }, 60));
    // The default handler is set once the entry is there; both happen before the program goes on.
    auto mime = [&](const char* scheme) { return run({"gio", "mime", std::string("x-scheme-handler/") + scheme}, sessionEnv()).out; };
    EXPECT_TRUE(waitFor([&] { return contains(mime("kivanocmd"), "Default application for “x-scheme-handler/kivanocmd”: " + ownId + ".desktop"); }, 30))
        << mime("kivanocmd");
    EXPECT_FALSE(g_file_test((platform::dataHome() + "/applications/" + kId + ".desktop").c_str(), G_FILE_TEST_EXISTS))
        << "the installed entry stays the one of its id";
    g_autoptr(GKeyFile) file = g_key_file_new();
    ASSERT_TRUE(g_key_file_load_from_file(file, userEntry.c_str(), G_KEY_FILE_NONE, nullptr));
    g_autofree gchar* exec = g_key_file_get_string(file, G_KEY_FILE_DESKTOP_GROUP, "Exec", nullptr);
    g_autofree gchar* icon = g_key_file_get_string(file, G_KEY_FILE_DESKTOP_GROUP, "Icon", nullptr);
    EXPECT_STREQ(exec, (program + " %u").c_str());
    EXPECT_STREQ(icon, (std::string(KIVANO_BINARY_DIR) + "/Resources/icons/" + kId + ".svg").c_str());
    // The installed entry is still a handler of the schemes, under its own id.
    auto info = run({"gio", "mime", "x-scheme-handler/kivano"}, sessionEnv());
    EXPECT_TRUE(contains(info.out, "\t" + kId + ".desktop\n")) << "still a registered handler: " << info.out;
    stop(ownerPid(kId));
    g_subprocess_wait(p, nullptr, nullptr);
    ::unlink(userEntry.c_str());
}

TEST(DebianPackage, HoldsTheLayoutAndDependsOnTheSharedLibraries) {
    testutil::TempDir out;
    auto pack = run({env("KIVANO_CPACK_COMMAND", "cpack"), "-G", "DEB", "--config",
                     std::string(KIVANO_BINARY_DIR) + "/CPackConfig.cmake", "-B", out.path()});
    ASSERT_EQ(pack.status, 0) << pack.out << pack.err;
    std::string deb;
    for (const auto& e : fs::directory_iterator(out.path())) {
        if (e.path().extension() == ".deb") deb = e.path().string();
    }
    ASSERT_FALSE(deb.empty()) << pack.out;
    EXPECT_EQ(fs::path(deb).filename().string().rfind("kivano_" KIVANO_SHORT_VERSION "-", 0), 0u) << deb;

    auto info = run({"dpkg-deb", "-I", deb});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_TRUE(contains(info.out, " Package: kivano\n")) << info.out;
    std::string depends = info.out.substr(info.out.find(" Depends: "));
    depends = depends.substr(0, depends.find('\n'));
    for (const char* package : {"libc6", "libgtk-3-0", "libwebkit2gtk-4.1-0", "libsoup-3.0-0", "libsecret-1-0",
                                "libayatana-appindicator3-1", "libexpat1", "libglib2.0-0"}) {
        EXPECT_TRUE(contains(depends, std::string(" ") + package + " (")) << package << " in" << depends;
    }

    auto list = run({"dpkg-deb", "-c", deb});
    ASSERT_EQ(list.status, 0) << list.err;
    const std::string lib = env("KIVANO_INSTALL_LIBDIR", "lib");
    for (const std::string& file : std::vector<std::string>{
             "./usr/bin/kivano", "./usr/" + lib + "/kivano/libkivano_core.so",
             "./usr/" + lib + "/kivano/web-extensions/libkivano_web_extension.so", "./usr/share/kivano/config.xml",
          "./usr/share/kivano/www/index.html", "./usr/share/applications/" + kId + ".desktop",
          "./usr/share/icons/hicolor/scalable/apps/" + kId + ".svg",
          "./usr/share/icons/hicolor/scalable/status/" + kId + "-status-symbolic.svg",
          "./usr/share/metainfo/" + kId + ".metainfo.xml"}) {
        EXPECT_TRUE(contains(list.out, " " + file + "\n")) << file;
    }
    EXPECT_TRUE(contains(list.out, " ./usr/share/doc/kivano/copyright\n"));
    EXPECT_TRUE(contains(list.out, " ./usr/share/man/man1/kivano.1.gz\n"));
#ifdef KIVANO_HAVE_LINPHONE
    // The SIP module is loaded at run time; the package still depends on what it links.
    EXPECT_TRUE(contains(list.out, " ./usr/" + lib + "/kivano/libkivano_sip.so\n"));
    EXPECT_TRUE(contains(depends, " liblinphone++")) << depends;
#endif
}

}  // namespace

// Debian's package checker finds nothing to warn about, nor a binary without the hardening.
TEST(DebianPackage, PassesLintian) {
    testutil::TempDir out;
    auto pack = run({env("KIVANO_CPACK_COMMAND", "cpack"), "-G", "DEB", "--config",
                     std::string(KIVANO_BINARY_DIR) + "/CPackConfig.cmake", "-B", out.path()});
    ASSERT_EQ(pack.status, 0) << pack.out << pack.err;
    std::string deb;
    for (const auto& e : fs::directory_iterator(out.path())) {
        if (e.path().extension() == ".deb") deb = e.path().string();
    }
    ASSERT_FALSE(deb.empty()) << pack.out;
    auto scripts = run({"dpkg-deb", "-I", deb});
    EXPECT_FALSE(contains(scripts.out, " postinst")) << "no maintainer scripts: " << scripts.out;
    EXPECT_FALSE(contains(scripts.out, " postrm")) << scripts.out;
    auto lint = run({"lintian", "--no-cfg", "--display-info", "--allow-root", deb});
    std::string findings;
    std::istringstream lines(lint.out + lint.err);
    for (std::string line; std::getline(lines, line);) {
#ifdef __SANITIZE_ADDRESS__
        // The sanitizer build leaves the fortified functions out on purpose (CMakeLists.txt).
        if (contains(line, " hardening-no-fortify-functions ")) continue;
#endif
        if (line.rfind("E: ", 0) == 0 || line.rfind("W: ", 0) == 0 || contains(line, " hardening-")) findings += line + "\n";
    }
    EXPECT_EQ(findings, "") << lint.out << lint.err;
    EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
}
