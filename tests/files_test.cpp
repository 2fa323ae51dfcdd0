// The file plug-in without a web view: URL and path rules, the local filesystem on real files
// in the temporary home, the plug-in's actions and the companion's JSON access.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <future>
#include <map>
#include <random>
#include <thread>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/AppDelegate.h"
#include "bridge/WHOutOfBandBytes.h"
#include "bridge/WHViewController.h"
#include "companion/FilePluginAccess.h"
#include "platform/application.h"
#include "platform/file_folders.h"
#include "platform/paths.h"
#include "platform/url_escape.h"
#include "platform/user_defaults.h"
#include "plugins/standard/WHFile.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/test_util.h"

using platform::Value;

namespace {

bool exists(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

Value msg(const WHPluginResult& r) { return r.message().value_or(Value()); }

unsigned modeOf(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool isLink(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Names in the folder that look like the temporary file of a whole-file write of `name`.
std::vector<std::string> temporariesOf(const std::string& folder, const std::string& name) {
    std::vector<std::string> found;
    for (auto& e : std::filesystem::directory_iterator(folder)) {
        std::string n = e.path().filename().string();
        if (n.size() == name.size() + 7 && n.rfind(name + ".", 0) == 0 && n != name + ".backup") found.push_back(n);
    }
    return found;
}

}  // namespace

// ---- URLs and paths ----

TEST(WHFilesystemURLTest, Parsing) {
    struct Case {
        std::string text;
        std::optional<std::string> name, fullPath;
    };
    const std::vector<Case> cases{
        {"whfile://localhost/persistent", "persistent", ""},
        {"whfile://localhost/persistent/", "persistent", ""},
        {"whfile://localhost/persistent/a%20b/c?x=1", "persistent", "/a b/c?x=1"},
        {"whfile://localhost/persistent/dir/", "persistent", "/dir"},
        {"whfile://localhost/persistent/a.txt?x=1", "persistent", "/a.txt?x=1"},
        {"whfile://localhost", std::nullopt, ""},
        {"whfile://localhost/", std::nullopt, ""},
        {"whfile://otherhost/persistent/a", std::nullopt, std::nullopt},
        {"WHFILE://localhost/persistent/a", std::nullopt, std::nullopt},
        {"http://localhost/persistent/a", std::nullopt, std::nullopt},
        {"whfile://localhost/persistent/a b", std::nullopt, std::nullopt},  // not a URL
        {"whfile://localhost/persistent/%zz", std::nullopt, std::nullopt},
        {"whfile://localhost/persistent/%00x", std::nullopt, std::nullopt},
        {"whfile://localhost/persistent/../../etc/passwd", "persistent", "/../../etc/passwd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto u = WHFilesystemURL::fileSystemURLWithString(c.text);
        EXPECT_EQ(u.fileSystemName(), c.name);
        EXPECT_EQ(u.fullPath(), c.fullPath);
    }
    EXPECT_EQ(WHFilesystemURL::fileSystemURLWithString("whfile://localhost/persistent/a%20b").absoluteURL(),
              "whfile://localhost/persistent/a b");
}

TEST(PercentEscapingTest, EscapesAndDecodesByteForByte) {
    const std::vector<std::tuple<std::string, std::string, std::string>> escapes{
        // text, kept characters, escaped
        {"/a b/c.txt", "", "/a%20b/c.txt"},
        {"/q#x?y%z", "", "/q%23x%3Fy%25z"},
        {"/q#x?y", "#?", "/q#x?y"},
        {"/\xC3\xBC\xE2\x9C\x93", "", "/%C3%BC%E2%9C%93"},
        {"-._~AZaz09", "", "-._~AZaz09"},
        {"!$&'()*+,;=:@", "!$&'()*+,;=:@", "!$&'()*+,;=:@"},
        {"!$&'()*+,;=:@", "", "%21%24%26%27%28%29%2A%2B%2C%3B%3D%3A%40"},
        {std::string("a\0b", 3), "", "a%00b"},
        {"\xFC", "\xFC", "%FC"},  // only ASCII can be kept
    };
    for (const auto& [text, keep, escaped] : escapes) {
        EXPECT_EQ(platform::percentEscape(text, keep), escaped) << text;
        EXPECT_EQ(platform::percentDecode(escaped), std::string(text).find('\0') == std::string::npos ? std::optional(text) : std::nullopt)
            << escaped;
    }
    for (std::string bad : {"%zz", "%4", "100%", "a%00b", "%"}) EXPECT_EQ(platform::percentDecode(bad), std::nullopt) << bad;
}

TEST(WHLocalFilesystemTest, NormalizePath) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"a/b/../../c", "c"}, {"/../a", "/a"}, {"/a/./b", "/a/./b"}, {"/sub/../../x", "/x"}, {"/a/b/..", "/a"}, {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(WHLocalFilesystem::normalizePath(in), out) << in;
}

TEST(WHLocalFilesystemTest, NativePathsStayInsideTheRoot) {
    WHLocalFilesystem fs("persistent", "/data/files");
    WHLocalFilesystem root("root", "/");
    const std::vector<std::tuple<std::string, std::optional<std::string>, std::optional<std::string>>> cases{
        // full path, native in /data/files, native in /
        {"", "/data/files", "/"},
        {"/", "/data/files", "/"},
        {"/a.txt?x=1", "/data/files/a.txt", "/a.txt"},
        {"/a/b/", "/data/files/a/b", "/a/b"},
        {"/a/../b", "/data/files/b", "/b"},
        {"/.", "/data/files", "/"},
        {"/x/..", "/data/files", "/"},
        {"/../../etc/passwd", std::nullopt, std::nullopt},
        {"/a/../../etc", std::nullopt, std::nullopt},
    };
    for (const auto& [full, inFs, inRoot] : cases) {
        SCOPED_TRACE(full);
        EXPECT_EQ(fs.filesystemPathForFullPath(full), inFs);
        EXPECT_EQ(root.filesystemPathForFullPath(full), inRoot);
    }
    EXPECT_EQ(fs.fullPathForFileSystemPath("/data/files/a/b"), "/a/b");
    EXPECT_EQ(fs.fullPathForFileSystemPath("/data/files"), "");
    EXPECT_EQ(fs.fullPathForFileSystemPath("/data/files2/a"), std::nullopt);
    EXPECT_EQ(root.fullPathForFileSystemPath("/data/files/a"), "/data/files/a");
    // Full paths survive the trip through a URL, escapes and all.
    for (std::string full : {"/a b/c", "/ü/%41", "/q#x", "/a?b"}) {
        auto u = fs.URLforFullPath(full);
        ASSERT_TRUE(u);
        EXPECT_EQ(u->fullPath(), full);
        EXPECT_EQ(u->fileSystemName(), "persistent");
    }
    for (std::string root : {"", "/", "/.", "/x/..", "/a/b/../.."}) EXPECT_TRUE(WHLocalFilesystem::fullPathIsRoot(root)) << root;
    for (std::string other : {"/a", "/../x", "/a/.."  "/b"}) EXPECT_FALSE(WHLocalFilesystem::fullPathIsRoot(other)) << other;
}

TEST(WHLocalFilesystemTest, CanCopyMove) {
    const std::vector<std::tuple<std::string, std::string, bool>> cases{
        {"/r/a", "/r/b", true},     {"/r/a", "/r/a/b", false}, {"/r/a", "/r/a", false},
        {"/r/a", "/r/ab", true},    {"/r/a", "/r/ab/c", true}, {"/r/a", "/s/r/a/x", true},
        {"/r/a", "/r/a/b/c", false},
    };
    for (const auto& [src, dest, ok] : cases) EXPECT_EQ(WHLocalFilesystem::canCopyMoveSrc(src, dest), ok) << src << " -> " << dest;
}

TEST(WHLocalFilesystemTest, MimeTypes) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"/a/pic.png", "image/png"},   {"/a/data.json", "application/json"}, {"/a/s.css", "text/css"},
        {"/a/t.txt", "text/plain"},    {"/a/x.wav", "audio/wav"},            {"/a/noext", std::nullopt},
        {"/a/x.zzzunknown", std::nullopt},
    };
    for (const auto& [path, mime] : cases) {
        auto got = WHLocalFilesystem::getMimeTypeFromPath(path);
        if (path.find(".wav") != std::string::npos) {
            ASSERT_TRUE(got);
            EXPECT_TRUE(*got == "audio/wav" || *got == "audio/x-wav" || *got == "audio/vnd.wave") << *got;
        } else {
            EXPECT_EQ(got, mime) << path;
        }
    }
    EXPECT_TRUE(WHLocalFilesystem::getMimeTypeFromPath(std::string("/a/x.m4a")).has_value());
    EXPECT_EQ(WHLocalFilesystem::getMimeTypeFromPath(std::nullopt), std::nullopt);
}

// ---- the local filesystem on real files ----

class LocalFs : public ::testing::Test {
protected:
    void SetUp() override {
        root = dir.path() + "/root";
        platform::makeDirs(root + "/dir/sub");
        testutil::writeFile(root + "/file.txt", "0123456789");
        testutil::writeFile(root + "/dir/sub/inner.txt", "x");
        platform::makeDirs(dir.path() + "/outside");
        testutil::writeFile(dir.path() + "/outside/secret", "s");
        fs = std::make_unique<WHLocalFilesystem>("persistent", root);
    }
    WHFilesystemURL url(const std::string& full) { return WHFilesystemURL::fileSystemURLWithString("whfile://localhost/persistent" + full); }
    testutil::TempDir dir;
    std::string root;
    std::unique_ptr<WHLocalFilesystem> fs;
};

TEST_F(LocalFs, GetFileChecks) {
    struct Case {
        std::string base, path;
        Value options;
        int status;
        Value message;  // FileError code, or the expected fullPath for status 1
        bool isDir = false;
    };
    const std::vector<Case> cases{
        {"/", "missing.txt", nullptr, 6, 1},
        {"/", "file.txt", nullptr, 1, "/file.txt"},
        {"/", "dir", nullptr, 6, 11},
        {"/", "file.txt", {{"getDir", true}}, 6, 11},
        {"/", "dir", {{"getDir", 1}}, 1, "/dir/", true},
        {"/", "dir", {{"create", true}}, 1, "/dir", false},  // create on a directory: an entry as a file
        {"/", "file.txt", {{"create", true}, {"exclusive", true}}, 6, 12},
        {"/", "file.txt", {{"create", "yes"}, {"exclusive", "yes"}}, 1, "/file.txt"},  // strings count as NO
        {"/", "a:b", {{"create", true}}, 6, 5},
        {"/dir", "sub/../../file.txt", nullptr, 1, "/file.txt"},
        {"/", "sub/../../../outside/secret", nullptr, 6, 1},  // clamped at the root: /outside/secret
        {"/", "new.txt", {{"create", true}}, 1, "/new.txt"},
        {"/", "newdir", {{"create", true}, {"getDir", true}}, 1, "/newdir/", true},
        {"/", "no/parent", {{"create", true}, {"getDir", true}}, 6, 3},
        {"/", "a b.txt", {{"create", 1}}, 1, "/a b.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.options.dump());
        auto r = fs->getFileForURL(url(c.base), c.path, c.options);
        EXPECT_EQ(r.status(), static_cast<unsigned>(c.status));
        if (c.status == 1) {
            EXPECT_EQ(msg(r)["fullPath"], c.message);
            EXPECT_EQ(msg(r)["isDirectory"], c.isDir);
            EXPECT_EQ(msg(r)["filesystemName"], "persistent");
        } else {
            EXPECT_EQ(msg(r), c.message);
        }
    }
    EXPECT_TRUE(exists(root + "/new.txt"));
    EXPECT_TRUE(exists(root + "/a b.txt"));
    struct stat st;
    ASSERT_EQ(::stat((root + "/newdir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(LocalFs, EntriesAndMetadata) {
    auto entry = fs->makeEntryForPath("/dir/a.txt?x=1", false);
    EXPECT_EQ(entry["name"], "a.txt");
    EXPECT_EQ(entry["nativeURL"], "file://" + root + "/dir/a.txt");
    auto d = fs->makeEntryForPath("/dir", true);
    EXPECT_EQ(d["fullPath"], "/dir/");
    EXPECT_EQ(d["nativeURL"], "file://" + root + "/dir/");
    EXPECT_EQ(fs->makeEntryForPath("/", true)["name"], "/");

    EXPECT_EQ(fs->entryForLocalURI(url("/missing")).status(), 6u);
    EXPECT_EQ(fs->entryForLocalURI(url("/../outside/secret")).status(), 6u);
    EXPECT_EQ(msg(fs->getParentForURL(url("/dir/sub")))["fullPath"], "/dir/");
    EXPECT_EQ(msg(fs->getParentForURL(url("")))["fullPath"], "/");
    EXPECT_EQ(msg(fs->getParentForURL(url("/../../x"))), 1);

    auto entries = msg(fs->readEntriesAtURL(url("/dir")));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]["fullPath"], "/dir/sub/");
    EXPECT_EQ(msg(fs->readEntriesAtURL(url("/nodir"))), 1);

    WHPluginResult meta;
    fs->getFileMetadataForURL(url("/file.txt"), [&](const WHPluginResult& r) { meta = r; });
    EXPECT_EQ(meta.status(), 1u);
    EXPECT_EQ(msg(meta)["size"], 10);
    EXPECT_EQ(msg(meta)["name"], "file.txt");
    EXPECT_EQ(msg(meta)["type"], "");
    EXPECT_TRUE(msg(meta)["lastModifiedDate"].is_number_float());
    fs->getFileMetadataForURL(url("/missing"), [&](const WHPluginResult& r) { meta = r; });
    EXPECT_EQ(meta.status(), 9u);
    EXPECT_EQ(msg(meta), 1);
}

TEST_F(LocalFs, ReadRanges) {
    struct Case {
        std::string path;
        std::int64_t start, end;
        std::optional<std::string> data;
        int code;
    };
    const std::vector<Case> cases{
        {"/file.txt", 0, -1, "0123456789", 0},
        {"/file.txt", 2, 5, "234", 0},
        {"/file.txt", 8, 100, "89", 0},
        {"/file.txt", 5, 2, "", 0},  // end before start: nothing
        {"/file.txt", 5, 5, "", 0},
        {"/file.txt", 20, -1, "", 0},
        {"/missing.txt", 0, -1, std::nullopt, 1},
        {"/../outside/secret.txt", 0, -1, std::nullopt, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.start) + ".." + std::to_string(c.end));
        bool called = false;
        fs->readFileAtURL(url(c.path), c.start, c.end, [&](std::optional<Bytes> d, const std::string& mime, int code) {
            called = true;
            EXPECT_EQ(mime, "text/plain") << "the MIME type of the extension, also for a missing file";
            EXPECT_EQ(code, c.code);
            ASSERT_EQ(d.has_value(), c.data.has_value());
            if (d) {
                EXPECT_EQ(std::string(d->begin(), d->end()), *c.data);
            }
        });
        EXPECT_TRUE(called);
    }
}

TEST_F(LocalFs, WriteTruncateRemove) {
    auto r = fs->writeToFileAtURL(url("/file.txt"), {}, false);
    EXPECT_EQ(r.status(), 1u);
    EXPECT_TRUE(msg(r).is_number_float());
    EXPECT_EQ(testutil::readFile(root + "/file.txt"), "0123456789");
    EXPECT_EQ(msg(fs->truncateFileAtURL(url("/file.txt"), 4)), 4);
    r = fs->writeToFileAtURL(url("/file.txt"), Bytes{'a', 'b'}, true);
    EXPECT_EQ(msg(r), 2);
    EXPECT_EQ(testutil::readFile(root + "/file.txt"), "0123ab");
    EXPECT_EQ(fs->writeToFileAtURL(url("/../outside/new"), Bytes{'a'}, false).status(), 9u);
    EXPECT_FALSE(exists(dir.path() + "/outside/new"));

    EXPECT_EQ(msg(fs->removeFileAtURL(url("/dir"))), 9);
    EXPECT_EQ(msg(fs->removeFileAtURL(url("/missing"))), 1);
    EXPECT_EQ(msg(fs->recursiveRemoveFileAtURL(url("/../outside"))), 1);
    EXPECT_TRUE(exists(dir.path() + "/outside/secret"));
    EXPECT_EQ(fs->recursiveRemoveFileAtURL(url("/dir")).status(), 1u);
    EXPECT_FALSE(exists(root + "/dir"));
    EXPECT_EQ(fs->removeFileAtURL(url("/file.txt")).status(), 1u);
    EXPECT_FALSE(exists(root + "/file.txt"));
}

TEST_F(LocalFs, CopyMoveRules) {
    platform::makeDirs(root + "/empty");
    platform::makeDirs(root + "/full/x");
    testutil::writeFile(root + "/other.txt", "o");
    struct Case {
        bool copy;
        std::string src, destDir, name;
        int status;
        Value message;  // code, or fullPath
    };
    const std::vector<Case> cases{
        {true, "/file.txt", "/", "file.txt", 6, 9},          // onto itself
        {true, "/file.txt", "/", "other.txt", 6, 12},        // copy onto an existing name
        {true, "/dir", "/dir/sub", "dir", 6, 9},             // into itself
        {false, "/dir", "/dir/sub", "moved", 6, 9},
        {true, "/dir", "/", "other.txt", 6, 9},              // directory onto a file
        {false, "/file.txt", "/", "empty", 6, 9},            // file onto a directory
        {false, "/dir", "/", "full", 6, 9},                  // onto a directory with entries
        {true, "/missing", "/", "x", 6, 1},
        {true, "/file.txt", "/nodir", "x", 6, 1},
        {true, "/file.txt", "/", "../../outside/x", 6, 5},  // the name is one component
        {true, "/file.txt", "/dir", "copy.txt", 1, "/dir/copy.txt"},
        {true, "/dir", "/", "dir2", 1, "/dir2/"},
        {false, "/dir2", "/", "empty", 1, "/empty/"},       // an empty directory is replaced
        {false, "/other.txt", "/dir", "moved.txt", 1, "/dir/moved.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.copy ? "copy " : "move ") + c.src + " -> " + c.destDir + " " + c.name);
        WHPluginResult got;
        int calls = 0;
        fs->copyFileToURL(url(c.destDir), c.name, fs.get(), url(c.src), c.copy, [&](const WHPluginResult& r) {
            got = r;
            ++calls;
        });
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(got.status(), static_cast<unsigned>(c.status));
        if (c.status == 1) {
            EXPECT_EQ(msg(got)["fullPath"], c.message);
        } else {
            EXPECT_EQ(msg(got), c.message);
        }
    }
    EXPECT_EQ(testutil::readFile(root + "/dir/copy.txt"), "0123456789");
    EXPECT_TRUE(exists(root + "/empty/sub/inner.txt"));
    EXPECT_FALSE(exists(root + "/dir2"));
    EXPECT_FALSE(exists(root + "/other.txt"));
    EXPECT_EQ(testutil::readFile(root + "/dir/moved.txt"), "o");
    EXPECT_FALSE(exists(dir.path() + "/outside/x"));
}

TEST_F(LocalFs, LinksLeadingOutOfTheRootAreNeverFollowed) {
    std::string outside = dir.path() + "/outside";
    ASSERT_EQ(::symlink("../outside/secret", (root + "/rel").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/secret").c_str(), (root + "/abs").c_str()), 0);
    ASSERT_EQ(::symlink("../outside", (root + "/outdir").c_str()), 0);
    ASSERT_EQ(::symlink("../outside/none", (root + "/dangling").c_str()), 0);
    ASSERT_EQ(::symlink("file.txt", (root + "/in").c_str()), 0);
    ASSERT_EQ(::symlink((root + "/dir").c_str(), (root + "/indir").c_str()), 0);
    platform::makeDirs(root + "/tree");
    testutil::writeFile(root + "/tree/a.txt", "a");
    ASSERT_EQ(::symlink("../../outside/secret", (root + "/tree/out").c_str()), 0);

    // Every way in through a link that leads out finds nothing there and changes nothing.
    for (std::string name : {"/rel", "/abs", "/outdir/secret", "/dangling"}) {
        SCOPED_TRACE(name);
        int readCode = -1;
        fs->readFileAtURL(url(name), 0, -1, [&](std::optional<Bytes> d, const std::string&, int code) {
            EXPECT_FALSE(d.has_value());
            readCode = code;
        });
        EXPECT_EQ(readCode, 1);
        EXPECT_EQ(msg(fs->entryForLocalURI(url(name))), 1);
        EXPECT_EQ(msg(fs->getFileForURL(url("/"), name.substr(1), nullptr)), 1);
        WHPluginResult meta;
        fs->getFileMetadataForURL(url(name), [&](const WHPluginResult& r) { meta = r; });
        EXPECT_EQ(meta.status(), 9u);
        EXPECT_EQ(msg(meta), 1);
        for (std::uint64_t position : {0, 1}) EXPECT_EQ(fs->writeAtPosition(url(name), Bytes{'X'}, position).status(), 9u);
        EXPECT_EQ(fs->writeToFileAtURL(url(name), Bytes{'X'}, true).status(), 9u);
        EXPECT_EQ(fs->writeToFileAtURL(url(name), Bytes{'X'}, false).status(), 9u);
        EXPECT_EQ(msg(fs->truncateFileAtURL(url(name), 0)), 0);
        WHPluginResult copied;
        fs->copyFileToURL(url("/"), "copied", fs.get(), url(name), true, [&](const WHPluginResult& r) { copied = r; });
        EXPECT_EQ(copied.status(), 6u);
        EXPECT_FALSE(exists(root + "/copied"));
    }
    EXPECT_EQ(testutil::readFile(outside + "/secret"), "s");
    EXPECT_FALSE(exists(outside + "/none"));
    EXPECT_EQ(msg(fs->getFileForURL(url("/"), "outdir/new.txt", {{"create", true}})), 1);
    EXPECT_EQ(msg(fs->getFileForURL(url("/"), "outdir/newdir", {{"create", true}, {"getDir", true}})), 1);
    EXPECT_FALSE(exists(outside + "/new.txt"));
    EXPECT_FALSE(exists(outside + "/newdir"));
    EXPECT_EQ(msg(fs->readEntriesAtURL(url("/outdir"))), 1);

    // Links that stay inside are followed.
    std::string read;
    fs->readFileAtURL(url("/indir/sub/inner.txt"), 0, -1, [&](std::optional<Bytes> d, const std::string&, int) {
        if (d) read.assign(d->begin(), d->end());
    });
    EXPECT_EQ(read, "x");
    std::map<std::string, bool> isDir;
    for (const auto& e : msg(fs->readEntriesAtURL(url("/")))) isDir[e["name"].get<std::string>()] = e["isDirectory"].get<bool>();
    EXPECT_EQ(isDir["indir"], true);
    EXPECT_EQ(isDir["in"], false);
    EXPECT_EQ(isDir["outdir"], false) << "a link leading out counts as nothing to enter";
    EXPECT_EQ(msg(fs->writeAtPosition(url("/in"), Bytes{'n', 'e', 'w'}, 0)), 3);
    EXPECT_EQ(testutil::readFile(root + "/file.txt"), "new");
    EXPECT_TRUE(isLink(root + "/in")) << "the file behind the link is replaced, the link stays";

    // A link is copied as a link only when it points inside the root from its new place.
    struct Copy {
        std::string src, destDir, name;
        int status;
    };
    const std::vector<Copy> copies{
        {"/in", "/", "in2", 1},
        {"/indir", "/dir", "indir2", 1},  // absolute, inside
        {"/rel", "/", "rel2", 6},
        {"/tree", "/", "tree2", 6},       // a link deep inside leads out: nothing of the copy is left
        {"/in", "/indir", "in3", 1},      // "file.txt" beside it: inside
    };
    for (const auto& c : copies) {
        SCOPED_TRACE(c.src + " -> " + c.destDir + "/" + c.name);
        WHPluginResult got;
        fs->copyFileToURL(url(c.destDir), c.name, fs.get(), url(c.src), true, [&](const WHPluginResult& r) { got = r; });
        EXPECT_EQ(got.status(), static_cast<unsigned>(c.status));
        std::string made = root + (c.destDir == "/" ? "" : c.destDir) + "/" + c.name;
        if (c.status == 1) {
            EXPECT_TRUE(isLink(made));
        } else {
            EXPECT_EQ(msg(got), 9);
            EXPECT_FALSE(exists(made) || isLink(made));
        }
    }

    // Removing a link removes the link, never what it points at.
    EXPECT_EQ(fs->removeFileAtURL(url("/abs")).status(), 1u);
    EXPECT_EQ(fs->recursiveRemoveFileAtURL(url("/outdir")).status(), 1u);
    EXPECT_FALSE(isLink(root + "/abs") || isLink(root + "/outdir"));
    EXPECT_EQ(testutil::readFile(outside + "/secret"), "s");
}

TEST_F(LocalFs, OnlyRegularFilesAreReadOrWritten) {
    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);
    // Each answers at once: opening or reading a FIFO without a writer would wait for ever.
    int code = -1;
    fs->readFileAtURL(url("/fifo"), 0, -1, [&](std::optional<Bytes> d, const std::string&, int c) {
        EXPECT_FALSE(d.has_value());
        code = c;
    });
    EXPECT_EQ(code, 4);
    fs->readFileAtURL(url("/dir"), 0, -1, [&](std::optional<Bytes>, const std::string&, int c) { code = c; });
    EXPECT_EQ(code, 4);
    for (std::uint64_t position : {0, 3}) {
        auto r = fs->writeAtPosition(url("/fifo"), Bytes{'a'}, position);
        EXPECT_EQ(r.status(), 9u);
        EXPECT_EQ(msg(r), 9);
    }
    auto r = fs->truncateFileAtURL(url("/fifo"), 0);
    EXPECT_EQ(r.status(), 6u);
    EXPECT_EQ(msg(r), 9);
    WHPluginResult meta;
    fs->getFileMetadataForURL(url("/fifo"), [&](const WHPluginResult& m) { meta = m; });
    EXPECT_EQ(msg(meta)["size"], 0);
    fs->copyFileToURL(url("/"), "fifo2", fs.get(), url("/fifo"), true, [&](const WHPluginResult& m) { meta = m; });
    EXPECT_EQ(msg(meta), 4);
    EXPECT_FALSE(exists(root + "/fifo2"));
    struct stat st;
    ASSERT_EQ(::lstat((root + "/fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "never replaced by a file";

    // A device through the "root" filesystem: refused before a single byte is read.
    WHLocalFilesystem whole("root", "/");
    auto started = std::chrono::steady_clock::now();
    whole.readFileAtURL(WHFilesystemURL::fileSystemURLWithString("whfile://localhost/root/dev/zero"), 0, -1,
                        [&](std::optional<Bytes> d, const std::string&, int c) {
                            EXPECT_FALSE(d.has_value());
                            code = c;
                        });
    EXPECT_EQ(code, 4);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << "it ends";
}

TEST_F(LocalFs, PositionedWritesGiveWhatTruncatingAndAppendingGave) {
    struct Case {
        std::optional<std::string> before;
        std::uint64_t position;
        std::string data;
        std::optional<std::string> after;  // absent: no file
        Value answer;
    };
    const std::vector<Case> cases{
        {"0123456789", 0, "abc", "abc", 3},
        {"0123456789", 0, "", "", 0.0},
        {std::nullopt, 0, "", std::nullopt, 0.0},
        {std::nullopt, 0, "abc", "abc", 3},
        {"0123456789", 4, "ab", "0123ab", 2},
        {"0123", 6, "ab", std::string("0123\0\0ab", 8), 2},
        {std::nullopt, 5, "ab", "ab", 2},
        {"0123456789", 10, "", "0123456789", 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before.value_or("(none)") + " @" + std::to_string(c.position) + " " + c.data);
        std::string path = root + "/w.txt";
        ::unlink(path.c_str());
        if (c.before) testutil::writeFile(path, *c.before);
        auto r = fs->writeAtPosition(url("/w.txt"), Bytes(c.data.begin(), c.data.end()), c.position);
        EXPECT_EQ(r.status(), 1u);
        EXPECT_EQ(msg(r), c.answer);
        EXPECT_EQ(msg(r).is_number_float(), c.answer.is_number_float());
        EXPECT_EQ(exists(path), c.after.has_value());
        if (c.after) {
            EXPECT_EQ(testutil::readFile(path), *c.after);
        }
    }
    // A new file is the user's alone; a replaced one keeps its mode.
    ::unlink((root + "/w.txt").c_str());
    fs->writeAtPosition(url("/w.txt"), Bytes{'a'}, 0);
    EXPECT_EQ(modeOf(root + "/w.txt"), 0600u);
    ::chmod((root + "/w.txt").c_str(), 0640);
    fs->writeAtPosition(url("/w.txt"), Bytes{'b'}, 0);
    EXPECT_EQ(modeOf(root + "/w.txt"), 0640u);
    EXPECT_TRUE(temporariesOf(root, "w.txt").empty());
}



// Bytes that arrive through a descriptor (the page's, from its web process) end as the same bytes
// written by writeAtPosition: the local filesystem's own target, and the one every filesystem has.
TEST_F(LocalFs, WritesThroughADescriptorGiveWhatPositionedWritesGive) {
    struct Case {
        std::optional<std::string> before;
        std::uint64_t position;
        std::string data;
        std::string after;
    };
    const std::vector<Case> cases{
        {"0123456789", 0, "abc", "abc"},
        {std::nullopt, 0, "abc", "abc"},
        {"0123456789", 4, "ab", "0123ab"},
        {"0123", 6, "ab", std::string("0123\0\0ab", 8)},
        {std::nullopt, 5, "ab", "ab"},
    };
    for (bool own : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE((own ? "local, " : "in memory, ") + c.before.value_or("(none)") + " @" + std::to_string(c.position));
            std::string path = root + "/w.txt";
            ::unlink(path.c_str());
            if (c.before) testutil::writeFile(path, *c.before);
            WHPluginResult error;
            auto target = own ? fs->openForWriteAtPosition(url("/w.txt"), c.position, error)
                              : fs->WHFileSystem::openForWriteAtPosition(url("/w.txt"), c.position, error);
            ASSERT_TRUE(target);
            ASSERT_EQ(::write(target->fd(), c.data.data(), c.data.size()), static_cast<ssize_t>(c.data.size()));
            auto r = target->finish(c.data.size());
            EXPECT_EQ(r.status(), 1u);
            EXPECT_EQ(msg(r), static_cast<int>(c.data.size()));
            EXPECT_EQ(testutil::readFile(path), c.after);
            EXPECT_TRUE(temporariesOf(root, "w.txt").empty());
        }
    }
    // A whole-file replacement given up on leaves the file as it was and nothing beside it.
    testutil::writeFile(root + "/w.txt", "old");
    {
        WHPluginResult error;
        auto target = fs->openForWriteAtPosition(url("/w.txt"), 0, error);
        ASSERT_TRUE(target);
        ASSERT_EQ(::write(target->fd(), "new", 3), 3);
        EXPECT_EQ(temporariesOf(root, "w.txt").size(), 1u);
    }
    EXPECT_EQ(testutil::readFile(root + "/w.txt"), "old");
    EXPECT_TRUE(temporariesOf(root, "w.txt").empty());
    // What the checks refuse is refused before any descriptor is there.
    for (const char* full : {"/dir", "/../outside/secret", "/missing/w.txt"}) {
        SCOPED_TRACE(full);
        WHPluginResult error;
        EXPECT_FALSE(fs->openForWriteAtPosition(url(full), 0, error));
        EXPECT_EQ(error.status(), 9u);
    }
}

class FilePlugin : public ::testing::Test {
protected:
    void SetUp() override {
        // Every test begins with an empty persistent folder.
        std::filesystem::remove_all(platform::dataHome() + "/com.kivano.Tarragon/files");
        start({});
    }
    void start(const WHSettings& settings) {
        plugin = nullptr;
        vc = std::make_unique<WHViewController>();
        vc->settings = settings;
        vc->registerPlugin(std::make_unique<WHFile>(nullptr), "WHFile");
        plugin = static_cast<WHFile*>(vc->pluginObjects["WHFile"].get());
        plugin->setCommandDelegate(&delegate);
    }
    void TearDown() override { vc.reset(); }
    WHPluginResult call(const std::string& action, Value args) {
        std::string id = "cb" + std::to_string(++counter);
        plugin->invokeAction(action, WHInvokedUrlCommand(std::move(args), id, "File", action));
        return delegate.resultFor(id);
    }
    std::string persistent() const { return plugin->appDataPath; }

    testutil::RecordingDelegate delegate;
    std::unique_ptr<WHViewController> vc;
    WHFile* plugin = nullptr;
    int counter = 0;
};

TEST_F(FilePlugin, FilesystemsAndTheirOrder) {
    std::vector<std::string> names;
    for (const auto& fs : plugin->fileSystems()) names.push_back(fs->name());
    EXPECT_EQ(names, (std::vector<std::string>{"temporary", "persistent", "documents", "cache", "bundle", "root"}));
    EXPECT_EQ(persistent(), platform::resolveSymlinks(platform::dataHome()) + "/com.kivano.Tarragon/files");
    struct stat st;
    ASSERT_EQ(::stat(plugin->appTempPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::getuid());

    auto r = call("requestFileSystem", {1, 0});
    EXPECT_EQ(msg(r)["name"], "persistent");
    EXPECT_EQ(msg(r)["root"]["fullPath"], "/");
    r = call("requestFileSystem", {6, 0});
    EXPECT_EQ(r.status(), 9u);
    EXPECT_EQ(msg(r), 1);
    r = call("requestFileSystem", {1, 1e18});
    EXPECT_EQ(r.status(), 6u);
    EXPECT_EQ(msg(r), 10);
    EXPECT_EQ(msg(call("requestAllFileSystems", Value::array())).size(), 6u);
    auto paths = msg(call("requestAllPaths", Value::array()));
    EXPECT_EQ(paths["dataDirectory"], "file://" + persistent() + "/");
    EXPECT_EQ(paths["rootDirectory"], "file:///");
}

TEST_F(FilePlugin, ExtraFilesystemsPreference) {
    testutil::LogCapture logs;
    start({{"osxextrafilesystems", "Cache,cache,foo"}});
    std::vector<std::string> names;
    for (const auto& fs : plugin->fileSystems()) names.push_back(fs->name());
    EXPECT_EQ(names, (std::vector<std::string>{"temporary", "persistent", "cache"}));
    EXPECT_TRUE(logs.contains("Unrecognized extra filesystem identifier: foo"));
}

TEST_F(FilePlugin, FileURLsMapToTheShortestFullPath) {
    testutil::writeFile(persistent() + "/a.json", "{}");
    auto u = plugin->fileSystemURLforArg("file://" + persistent() + "/a.json");
    EXPECT_EQ(u.fileSystemName(), "persistent");
    EXPECT_EQ(u.fullPath(), "/a.json");
    auto r = call("resolveLocalFileSystemURI", {"file://" + persistent() + "/a.json"});
    EXPECT_EQ(msg(r)["filesystemName"], "persistent");
    r = call("resolveLocalFileSystemURI", {"file:///etc/hostname"});
    EXPECT_EQ(msg(r)["filesystemName"], "root");
    EXPECT_EQ(msg(r)["fullPath"], "/etc/hostname");
    r = call("resolveLocalFileSystemURI", {"whfile://localhost/nosuch/x"});
    EXPECT_EQ(r.status(), 9u);
    EXPECT_EQ(msg(r), 5);
}

TEST_F(FilePlugin, RootIsNeverRemoved) {
    testutil::writeFile(persistent() + "/keep.txt", "k");
    platform::makeDirs(persistent() + "/x");
    for (std::string u : {"whfile://localhost/persistent/", "whfile://localhost/persistent", "whfile://localhost/persistent/.",
                          "whfile://localhost/persistent/x/..", "whfile://localhost/persistent/x/../."}) {
        SCOPED_TRACE(u);
        for (std::string action : {"remove", "removeRecursively"}) {
            auto r = call(action, {u});
            EXPECT_EQ(r.status(), 6u);
            EXPECT_EQ(msg(r), 6);
        }
        EXPECT_EQ(msg(call("moveTo", {u, "whfile://localhost/temporary/", "gone"})), 6);
    }
    EXPECT_TRUE(exists(persistent() + "/keep.txt"));
    auto r = call("removeRecursively", {"whfile://localhost/persistent/../../../.."});
    EXPECT_EQ(msg(r), 1);
    EXPECT_TRUE(exists(persistent() + "/keep.txt"));
    EXPECT_TRUE(exists(platform::dataHome()));
}

TEST_F(FilePlugin, ReadsAndWrites) {
    std::string f = "whfile://localhost/persistent/t.txt";
    testutil::writeFile(persistent() + "/t.txt", "0123456789");
    auto r = call("write", {f, "abc", 0});
    EXPECT_EQ(msg(r), 3);
    EXPECT_EQ(testutil::readFile(persistent() + "/t.txt"), "abc");
    r = call("write", {f, platform::makeBytes({0xff, 0x00}), 3});
    EXPECT_EQ(msg(r), 2);
    EXPECT_EQ(call("write", {f, 12, 0}).status(), 9u);
    r = call("readAsBinaryString", {f, 0, -1});
    EXPECT_EQ(msg(r), std::string("abc\xC3\xBF") + std::string(1, '\0'));
    EXPECT_EQ(msg(call("readAsText", {f, "utf-8", 0, -1})), 5) << "not UTF-8";
    call("write", {f, "h\xC3\xA9llo", 0});
    EXPECT_EQ(msg(call("readAsText", {f, "UTF-8", 1, 3})), "\xC3\xA9");
    EXPECT_EQ(msg(call("readAsText", {f, "latin1", 0, -1})), 5);
    EXPECT_EQ(msg(call("readAsDataURL", {f, 0, 1})), "data:text/plain;base64,aA==");
    call("write", {f, std::string("a\0b", 3), 0});
    EXPECT_EQ(msg(call("readAsText", {f, "UTF-8", 0, -1})), std::string("a\0b", 3)) << "NUL is a character";
    r = call("readAsArrayBuffer", {f, 0, -1});
    EXPECT_EQ(r.argumentsAsJSON().value_or("").find("ArrayBuffer") != std::string::npos, true);
    EXPECT_EQ(msg(call("readAsArrayBuffer", {"whfile://localhost/persistent/none", 0, -1})), 1);
    EXPECT_EQ(msg(call("readAsText", {"whfile://localhost/nosuch/x", "UTF-8", 0, -1})), 1);
    EXPECT_EQ(msg(call("truncate", {f, 2})), 2);
    EXPECT_EQ(msg(call("testFileExists", {persistent() + "/t.txt"})), 1);
    EXPECT_EQ(msg(call("testDirectoryExists", {persistent() + "/t.txt"})), 0);
    EXPECT_EQ(msg(call("_getLocalFilesystemPath", {f})), persistent() + "/t.txt");
    EXPECT_EQ(call("_getLocalFilesystemPath", {"whfile://localhost/persistent/../../x"}).status(), 9u);
    EXPECT_FALSE(msg(call("getFreeDiskSpace", Value::array())).get<std::string>().empty());
    auto got = call("getDirectory", {"whfile://localhost/persistent/", "made", {{"create", true}}});
    EXPECT_EQ(msg(got)["isDirectory"], true);
    EXPECT_EQ(msg(call("copyTo", {f, "whfile://localhost/persistent/made"}))["fullPath"], "/made/t.txt");
    EXPECT_EQ(msg(call("copyTo", {f, "whfile://localhost/persistent/made", nullptr})), 5);
}

TEST_F(FilePlugin, WritesToOneFileKeepTheirOrder) {
    // Each write truncates at its position and appends: in order, the file ends as the blocks
    // one after another; interleaved, blocks would be cut or mixed.
    const int blocks = 40;
    const std::size_t size = 64 * 1024;
    std::string f = "whfile://localhost/persistent/order.bin";
    std::vector<std::string> ids;
    for (int i = 0; i < blocks; ++i) {
        std::string id = "w" + std::to_string(i);
        ids.push_back(id);
        plugin->invokeAction("write", WHInvokedUrlCommand({f, std::string(size, static_cast<char>('A' + i % 26)), i * size},
                                                          id, "File", "write"));
    }
    delegate.resultFor(ids.back());
    std::string expected;
    for (int i = 0; i < blocks; ++i) expected += std::string(size, static_cast<char>('A' + i % 26));
    EXPECT_TRUE(testutil::readFile(persistent() + "/order.bin") == expected);
    std::vector<std::string> order;
    for (const auto& r : delegate.results()) order.push_back(r.callbackId.value_or(""));
    EXPECT_EQ(std::vector<std::string>(order.end() - blocks, order.end()), ids);
}

// What the page's web process does with held bytes, for these tests: writes them into the
// descriptor and answers the count (or, with `answer`, an error number), or answers nothing.
struct FakeWebProcess {
    std::string bytes;
    std::optional<std::int64_t> answer;  // absent: the bytes and their count
    bool silent = false;
    int written = 0, released = 0;
    std::shared_ptr<WHHeldBytes> held(std::uint64_t size) {
        return std::make_shared<WHHeldBytes>(
            "0123456789abcdef0123456789abcdef", size,
            [this](const std::string&, int fd, int ack) {
                ++written;
                if (silent) return;
                std::int64_t count = answer.value_or(static_cast<std::int64_t>(bytes.size()));
                if (!answer) {
                    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
                }
                EXPECT_EQ(::write(ack, &count, sizeof count), static_cast<ssize_t>(sizeof count));
            },
            [this](const std::string&) { ++released; });
    }
};

TEST_F(FilePlugin, HeldBytesOfAWriteGoFromTheDescriptorIntoTheFile) {
    const std::string f = "whfile://localhost/persistent/held.bin";
    const std::string big(200000, 'h');
    struct Case {
        std::string name;
        std::optional<std::string> before;
        std::int64_t position;
        std::optional<std::int64_t> answer;
        bool silent;
        std::string url;
        std::optional<std::string> after;
        unsigned status;
        Value message;
        int written, released;
    };
    const std::vector<Case> cases{
        {"replaced", "old", 0, std::nullopt, false, f, big, 1, static_cast<int>(big.size()), 1, 0},
        {"appended", "0123", 2, std::nullopt, false, f, "01" + big, 1, static_cast<int>(big.size()), 1, 0},
        {"token unknown there", "old", 0, -ENOENT, false, f, "old", 9, INVALID_MODIFICATION_ERR, 1, 0},
        {"no answer", "old", 0, std::nullopt, true, f, "old", 9, INVALID_MODIFICATION_ERR, 1, 0},
        {"negative position", "old", -1, std::nullopt, false, f, "old", 9, INVALID_MODIFICATION_ERR, 0, 1},
        {"no such filesystem", std::nullopt, 0, std::nullopt, false, "whfile://localhost/nosuch/held.bin", std::nullopt, 6,
         NOT_FOUND_ERR, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = persistent() + "/held.bin";
        ::unlink(path.c_str());
        if (c.before) testutil::writeFile(path, *c.before);
        FakeWebProcess web;
        web.bytes = big;
        web.answer = c.answer;
        web.silent = c.silent;
        delegate.clear();
        {
            WHInvokedUrlCommand command({c.url, nullptr, c.position}, "h", "File", "write");
            command.setHeldBytes(1, web.held(big.size()));
            plugin->invokeAction("write", command);
        }
        // The transfer is asked for from the main thread.
        ASSERT_TRUE(delegate.waitFor(1, 30));
        EXPECT_EQ(delegate.last().status(), static_cast<int>(c.status));
        EXPECT_EQ(delegate.last().message(), std::optional<Value>(c.message));
        EXPECT_EQ(exists(path), c.after.has_value());
        if (c.after) {
            EXPECT_TRUE(testutil::readFile(path) == *c.after);
        }
        EXPECT_TRUE(temporariesOf(persistent(), "held.bin").empty());
        platform::runMainLoopFor(0.05);
        EXPECT_EQ(web.written, c.written);
        EXPECT_EQ(web.released, c.released) << "bytes that are not written are let go";
    }
}

// A delegate whose page takes bytes outside the messages.
class PageBytesDelegate : public testutil::RecordingDelegate {
public:
    bool carriesPageBytes(std::uint64_t length) override { return length >= 64 * 1024; }
};

TEST_F(FilePlugin, LargeReadsGoAsPageBytesAndTheNextFileWorkWaitsForThem) {
    PageBytesDelegate pages;
    plugin->setCommandDelegate(&pages);
    const std::string f = "whfile://localhost/persistent/r.txt";
    std::string content(100000, 'a');
    content[10] = '\xC3';
    content[11] = '\xA9';
    testutil::writeFile(persistent() + "/r.txt", content);
    struct Case {
        std::string action;
        Value args;
        WHPageBytesForm form;
        std::string mime;
        int invalidMessage;
    };
    const std::vector<Case> cases{
        {"readAsArrayBuffer", {f, 0, -1}, WHPageBytesForm::ArrayBuffer, "text/plain", NOT_READABLE_ERR},
        {"readAsDataURL", {f, 0, -1}, WHPageBytesForm::DataURL, "text/plain", NOT_READABLE_ERR},
        {"readAsText", {f, "UTF-8", 0, -1}, WHPageBytesForm::UTF8Text, "text/plain", ENCODING_ERR},
        {"readAsBinaryString", {f, 0, -1}, WHPageBytesForm::BinaryString, "text/plain", NOT_READABLE_ERR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action);
        pages.clear();
        plugin->invokeAction(c.action, WHInvokedUrlCommand(c.args, "r", "File", c.action));
        // A write queued behind the read must not cut the file before the page has its bytes.
        plugin->invokeAction("write", WHInvokedUrlCommand({f, "cut", 0}, "w", "File", "write"));
        ASSERT_TRUE(pages.waitFor(1));
        WHPluginResult r = pages.results()[0].result;
        ASSERT_TRUE(r.pageBytes());
        EXPECT_EQ(r.status(), 1u);
        EXPECT_EQ(r.pageBytesForm(), c.form);
        EXPECT_EQ(r.pageBytesMimeType(), c.mime);
        EXPECT_EQ(r.invalidStatus(), WHCommandStatus_IO_EXCEPTION);
        EXPECT_EQ(r.invalidMessage(), c.invalidMessage);
        platform::runMainLoopFor(0.2);
        EXPECT_EQ(pages.count(), 1u) << "the write waits";
        auto bytes = r.pageBytes()->read();
        ASSERT_TRUE(bytes);
        EXPECT_TRUE(std::string(bytes->begin(), bytes->end()) == content);
        r.pageBytes()->delivered();
        ASSERT_TRUE(pages.waitFor(2));
        EXPECT_EQ(testutil::readFile(persistent() + "/r.txt"), "cut");
        testutil::writeFile(persistent() + "/r.txt", content);
    }
    // Fewer bytes go in the message; so do all where the page takes none outside it.
    pages.clear();
    plugin->invokeAction("readAsText", WHInvokedUrlCommand({f, "UTF-8", 0, 65535}, "s", "File", "readAsText"));
    ASSERT_TRUE(pages.waitFor(1));
    EXPECT_FALSE(pages.results()[0].result.pageBytes());
    EXPECT_EQ(pages.results()[0].message(), std::optional<Value>(content.substr(0, 65535)));
    plugin->setCommandDelegate(&delegate);
    EXPECT_EQ(msg(call("readAsText", {f, "UTF-8", 0, -1})), content);
}

TEST_F(FilePlugin, NegativeOrOutOfRangeSizesAndPositionsChangeNothing) {
    std::string f = "whfile://localhost/persistent/t.txt";
    struct Case {
        std::string action;
        Value args;
        unsigned status;
    };
    const std::vector<Case> cases{
        {"truncate", {f, -1}, 6},
        {"truncate", {f, -1e30}, 6},
        {"truncate", {f, 1e30}, 6},
        {"truncate", {f, std::uint64_t{1} << 63}, 6},
        {"write", {f, "abc", -3}, 9},
        {"write", {f, "abc", -1e300}, 9},
        {"write", {f, "abc", 1e300}, 9},
        {"write", {f, "abc", std::uint64_t{1} << 63}, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.action + " " + c.args.dump());
        testutil::writeFile(persistent() + "/t.txt", "0123456789");
        auto r = call(c.action, c.args);
        EXPECT_EQ(r.status(), c.status);
        EXPECT_EQ(msg(r), 9);
        EXPECT_EQ(testutil::readFile(persistent() + "/t.txt"), "0123456789");
    }
}

TEST_F(FilePlugin, NothingButRegularFilesIsReadAndEveryCallAnswers) {
    std::string fifo = persistent() + "/pipe.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (std::string u : {"whfile://localhost/persistent/pipe.json", "whfile://localhost/root/dev/zero"}) {
        SCOPED_TRACE(u);
        for (auto [action, args] : std::vector<std::pair<std::string, Value>>{{"readAsText", {u, "UTF-8", 0, -1}},
                                                                              {"readAsDataURL", {u, 0, -1}},
                                                                              {"readAsArrayBuffer", {u, 0, -1}},
                                                                              {"readAsBinaryString", {u, 0, -1}}}) {
            auto r = call(action, args);
            EXPECT_EQ(r.status(), 6u) << action;
            EXPECT_EQ(msg(r), 4) << action;
        }
    }
    EXPECT_EQ(msg(call("write", {"whfile://localhost/persistent/pipe.json", "{}", 0})), 9);
    EXPECT_EQ(msg(call("truncate", {"whfile://localhost/persistent/pipe.json", 0})), 9);
    EXPECT_EQ(msg(call("copyTo", {"whfile://localhost/persistent/pipe.json", "whfile://localhost/persistent/", "copy"})), 4);
    // The file queue is free again: a plain read answers.
    testutil::writeFile(persistent() + "/after.txt", "ok");
    EXPECT_EQ(msg(call("readAsText", {"whfile://localhost/persistent/after.txt", "UTF-8", 0, -1})), "ok");
}

TEST_F(FilePlugin, NamesWithHashOrLettersBeyondAsciiResolve) {
    struct Case {
        std::string file, arg, fullPath;
    };
    const std::vector<Case> cases{
        {"q#x.txt", "whfile://localhost/persistent/q%23x.txt", "/q#x.txt"},
        {"\xC3\xBC.txt", "whfile://localhost/persistent/%C3%BC.txt", "/\xC3\xBC.txt"},
        {"\xC3\xBC.txt", "whfile://localhost/persistent/\xC3\xBC.txt", "/\xC3\xBC.txt"},
        {"a b.txt", "whfile://localhost/persistent/a%20b.txt", "/a b.txt"},
        {"100%.txt", "whfile://localhost/persistent/100%25.txt", "/100%.txt"},
        {"q#x.txt", "file://" + platform::percentEscape(persistent()) + "/q%23x.txt", "/q#x.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arg);
        testutil::writeFile(persistent() + "/" + c.file, "content of " + c.file);
        auto r = call("resolveLocalFileSystemURI", {c.arg});
        ASSERT_EQ(r.status(), 1u) << msg(r).dump();
        EXPECT_EQ(msg(r)["fullPath"], c.fullPath);
        EXPECT_EQ(msg(r)["name"], c.file);
        // What resolves is what reads and writes reach.
        std::string escaped = "whfile://localhost/persistent" + platform::percentEscape(c.fullPath);
        EXPECT_EQ(msg(call("readAsText", {escaped, "UTF-8", 0, -1})), "content of " + c.file);
    }
}

TEST_F(FilePlugin, ApplicationFoldersAndFilesArePrivate) {
    // An application folder made before, open to others, is closed at the next start.
    ::chmod(plugin->appSupportPath.c_str(), 0755);
    start({});
    for (const std::string& folder : {plugin->appSupportPath, plugin->appDataPath, plugin->appCachePath, plugin->appTempPath}) {
        EXPECT_EQ(modeOf(folder), 0700u) << folder;
    }
    call("getFile", {"whfile://localhost/persistent/", "made.json", {{"create", true}}});
    call("getDirectory", {"whfile://localhost/persistent/", "made", {{"create", true}}});
    call("write", {"whfile://localhost/persistent/written.json", "{}", 0});
    EXPECT_EQ(modeOf(persistent() + "/made.json"), 0600u);
    EXPECT_EQ(modeOf(persistent() + "/made"), 0700u);
    EXPECT_EQ(modeOf(persistent() + "/written.json"), 0600u);

    platform::UserDefaults::standard().set("files-test", 1);
    std::string settings = platform::UserDefaults::standard().filePath();
    EXPECT_EQ(modeOf(settings), 0600u);
    EXPECT_EQ(modeOf(settings.substr(0, settings.rfind('/'))), 0700u);
}

TEST(SettingsFile, OneThatIsNoRegularFileIsNeitherReadNorReplaced) {
    auto& defaults = platform::UserDefaults::standard();
    defaults.set("probe", 1);
    std::string path = defaults.filePath();
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    defaults.reset();
    EXPECT_EQ(defaults.object("probe"), std::nullopt) << "answered without waiting for a writer";
    defaults.set("probe", 2);
    EXPECT_FALSE(defaults.synchronize());
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ::unlink(path.c_str());
    defaults.reset();
}

TEST(ReadFile, ReadsRegularFilesToTheEndAndRefusesOthersWithoutWaiting) {
    testutil::TempDir dir;
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    testutil::writeFile(dir.file("plain"), "abc");
    std::string content = "kept";
    EXPECT_FALSE(platform::readFile(fifo, content)) << "a FIFO without a writer answers at once";
    EXPECT_FALSE(platform::readFile("/dev/zero", content));
    EXPECT_FALSE(platform::readFile(dir.path(), content));
    EXPECT_EQ(content, "kept");
    ASSERT_TRUE(platform::readFile(dir.file("plain"), content));
    EXPECT_EQ(content, "abc");
    // Kernel files report size 0 and are read to their end.
    ASSERT_TRUE(platform::readFile("/proc/self/status", content));
    EXPECT_NE(content.find("Pid:"), std::string::npos);
}

TEST_F(FilePlugin, KilledWholeFileWritesLeaveOldOrNewContentAndNoTemporaryFile) {
    // Whole-file writes in a child process, killed at random moments: the file always holds one
    // whole content, and the next start removes the temporary file a killed write left.
    const std::string old(200 * 1024, 'o'), first(300 * 1024, 'a'), second(100 * 1024, 'b');
    std::string file = persistent() + "/DadUdidizi.json";
    testutil::writeFile(file, old);
    // The user's own file beside it, older than any of the writes, is never taken for one.
    testutil::writeFile(file + ".backup", "mine");
    // Older than the writes' records, which note their time a second early.
    struct stat backup{};
    ASSERT_EQ(::stat((file + ".backup").c_str(), &backup), 0);
    ASSERT_TRUE(testutil::spinUntil([&] { return std::time(nullptr) - 1 > backup.st_ctime; }, 10));
    auto* fs = plugin->fileSystemByName("persistent");
    auto url = WHFilesystemURL::fileSystemURLWithString("whfile://localhost/persistent/DadUdidizi.json");
    std::mt19937 random(12345);
    int kills = 0, leftBehind = 0;
    while (kills < 200 && (kills < 30 || leftBehind < 3)) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) {
                const std::string& content = i % 2 ? second : first;
                fs->writeAtPosition(url, Bytes(content.begin(), content.end()), 0);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 20000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ++kills;
        std::string now = testutil::readFile(file);
        ASSERT_TRUE(now == old || now == first || now == second) << "after kill " << kills << ": " << now.size() << " bytes";
        if (!temporariesOf(persistent(), "DadUdidizi.json").empty()) {
            ++leftBehind;
            start({});  // the next start
            EXPECT_TRUE(temporariesOf(persistent(), "DadUdidizi.json").empty()) << "after kill " << kills;
            fs = plugin->fileSystemByName("persistent");
        }
    }
    EXPECT_GT(leftBehind, 0) << "no kill came in the middle of a write in " << kills << " tries";
    EXPECT_EQ(testutil::readFile(file + ".backup"), "mine");
}

// ---- the companion's JSON access ----

class JsonAccess : public FilePlugin {
protected:
    void SetUp() override {
        FilePlugin::SetUp();
        app.viewController = vc.get();
        platform::Application::shared().setDelegate(&app);
    }
    void TearDown() override {
        platform::Application::shared().setDelegate(nullptr);
        FilePlugin::TearDown();
    }
    std::optional<Value> load(const std::string& name) {
        std::optional<Value> out = Value("not called");
        FilePluginAccess::loadFile(name, [&](std::optional<Value> v) { out = std::move(v); });
        return out;
    }
    bool save(const std::string& name, const Value& data) {
        std::optional<bool> out;
        FilePluginAccess::saveFile(name, data, [&](bool ok) { out = ok; });
        EXPECT_TRUE(out.has_value());
        return out.value_or(false);
    }
    AppDelegate app;
};

TEST_F(JsonAccess, LoadCases) {
    testutil::writeFile(persistent() + "/empty.json", "");
    testutil::writeFile(persistent() + "/array.json", "[1,2]");
    testutil::writeFile(persistent() + "/bad.json", "{\"a\":");
    testutil::writeFile(persistent() + "/ok.json", "{\"a\":[1,{\"b\":null}]}");
    const std::vector<std::pair<std::string, std::optional<Value>>> cases{
        {"missing.json", std::nullopt}, {"empty.json", std::nullopt}, {"array.json", std::nullopt},
        {"bad.json", std::nullopt},     {"ok.json", Value::parse("{\"a\":[1,{\"b\":null}]}")},
        {"a:b.json", std::nullopt},     {"../../../../etc/hostname", std::nullopt},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(load(name), expected) << name;
    EXPECT_FALSE(exists(persistent() + "/missing.json")) << "loading creates nothing";
}

TEST_F(JsonAccess, SaveThenLoad) {
    Value data = {{"serial", "50:4F:94"}, {"n", 3}, {"list", {1, "two", nullptr}}};
    for (std::string name : {"DadUdidizi.json", "with space.json", "hash#and%.json"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(save(name, data));
        EXPECT_TRUE(exists(persistent() + "/" + name));
        EXPECT_EQ(load(name), data);
    }
    testutil::writeFile(persistent() + "/long.json", std::string(5000, ' ') + "{\"old\":true}");
    ASSERT_TRUE(save("long.json", Value::object()));
    EXPECT_EQ(testutil::readFile(persistent() + "/long.json"), "{}");
    FilePluginAccess::saveFile("nocallback.json", {{"k", 1}});
    EXPECT_EQ(testutil::readFile(persistent() + "/nocallback.json"), "{\"k\":1}");
    EXPECT_FALSE(save("a:b.json", data));
    // Nothing but the files themselves is left beside them.
    int count = 0;
    for (auto& e : std::filesystem::directory_iterator(persistent())) count += e.path().filename().string().find(".json.") != std::string::npos;
    EXPECT_EQ(count, 0);
}

TEST_F(JsonAccess, SeesThePageWritesQueuedBeforeIt) {
    // A long page write, then the page's write of the archive, then at once the companion's load.
    std::string bulk(8 * 1024 * 1024, 'x');
    plugin->invokeAction("write", WHInvokedUrlCommand({"whfile://localhost/persistent/bulk.bin", bulk, 0}, "w1", "File", "write"));
    plugin->invokeAction("write", WHInvokedUrlCommand({"whfile://localhost/persistent/DadUdidizi.json", "{\"v\":2}", 0}, "w2",
                                                      "File", "write"));
    EXPECT_EQ(load("DadUdidizi.json"), Value::parse("{\"v\":2}"));
    ASSERT_TRUE(save("DadUdidizi.json", {{"v", 3}}));
    EXPECT_EQ(msg(call("readAsText", {"whfile://localhost/persistent/DadUdidizi.json", "UTF-8", 0, -1})), "{\"v\":3}");
}

TEST_F(JsonAccess, BehindStuckFileWorkALoadReadsTheFileOnTheDisk) {
    // An existing file is never taken for absent because the page's file work ahead is slow: past
    // the wait, the load reads the file as it stands (always one whole content); a save gives up.
    testutil::writeFile(persistent() + "/DadUdidizi.json", "{\"v\":1}");
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    plugin->enqueueFileWork([released] { released.wait(); });

    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(load("DadUdidizi.json"), Value::parse("{\"v\":1}"));
    EXPECT_EQ(load("missing.json"), std::nullopt);
    EXPECT_FALSE(save("late.json", {{"v", 2}}));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::minutes(2)) << "the waits end";
    release.set_value();
    // The dropped accesses never run, also once the queue moves again.
    EXPECT_EQ(call("getFileMetadata", {"whfile://localhost/persistent/DadUdidizi.json"}).status(), 1u);
    EXPECT_FALSE(exists(persistent() + "/late.json"));
    EXPECT_FALSE(exists(persistent() + "/missing.json"));
    EXPECT_EQ(load("DadUdidizi.json"), Value::parse("{\"v\":1}"));
}

TEST_F(JsonAccess, AFifoInPlaceOfAFileIsAbsent) {
    ASSERT_EQ(::mkfifo((persistent() + "/RodEzazizer.json").c_str(), 0600), 0);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(load("RodEzazizer.json"), std::nullopt);
    EXPECT_FALSE(save("RodEzazizer.json", {{"v", 1}}));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << "answered without waiting for the queue";
}

TEST_F(JsonAccess, WithoutThePluginNothingHappens) {
    vc->pluginObjects.clear();
    EXPECT_EQ(load("DadUdidizi.json"), std::nullopt);
    EXPECT_FALSE(save("DadUdidizi.json", Value::object()));
}
