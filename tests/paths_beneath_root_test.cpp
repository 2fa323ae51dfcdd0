// Items beneath a root folder, reached through the descriptor of their folder: a folder on the way
// that is swapped for a link to a folder outside the root, before the item is reached, after it,
// or by another thread at any moment, never leads an operation outside. Both the folder helper's
// operations and the local filesystem's (which every file operation of the page goes through).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <map>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/open_folder.h"
#include "platform/paths.h"
#include "plugins/standard/WHLocalFilesystem.h"
#include "tests/support/test_util.h"

namespace stdfs = std::filesystem;
using platform::FileOpen;
using platform::ItemBeneath;
using platform::OpenFolder;
using platform::Value;

namespace {

// Everything below a folder as it stands, links not followed: each item's kind, mode and content
// (a link's target).
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> items;
    for (auto it = stdfs::recursive_directory_iterator(folder); it != stdfs::recursive_directory_iterator(); ++it) {
        std::string path = it->path().string();
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) continue;
        std::string what = std::to_string(st.st_mode) + " ";
        if (S_ISLNK(st.st_mode)) what += "-> " + stdfs::read_symlink(path).string();
        if (S_ISREG(st.st_mode)) what += testutil::readFile(path);
        items[path.substr(folder.size())] = what;
    }
    return items;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string realPath(const std::string& path) { return stdfs::canonical(path).string(); }

std::vector<std::string> temporariesIn(const std::string& folder, const std::string& name) {
    std::vector<std::string> found;
    for (const auto& e : stdfs::directory_iterator(folder)) {
        std::string n = e.path().filename().string();
        if (n.size() == name.size() + 7 && n.rfind(name + ".", 0) == 0) found.push_back(n);
    }
    return found;
}

// A root with the folder "d" in it, and a folder outside the root with the same names in it (and
// other content), where an operation led out of the root would find or leave something.
class Beneath : public ::testing::Test {
protected:
    void SetUp() override {
        base = realPath(dir.path());
        root = base + "/root";
        outside = base + "/outside";
        fill(root + "/d", "inside");
        fill(outside, "outside!");
        testutil::writeFile(outside + "/outside-only.txt", "o");
        before = snapshot(outside);
    }

    // The same names in "d" and outside.
    static void fill(const std::string& folder, const std::string& text) {
        platform::makeDirs(folder + "/sub");
        testutil::writeFile(folder + "/f.txt", text);
        testutil::writeFile(folder + "/sub/g.txt", "g");
        testutil::writeFile(folder + "/victim", "v");
        ASSERT_EQ(::symlink("f.txt", (folder + "/rel").c_str()), 0);
    }

    // The folder "d" moves to "d.moved" and a link to the outside folder takes its place.
    void swapForLink(const std::string& target = "") {
        ASSERT_EQ(::rename((root + "/d").c_str(), (root + "/d.moved").c_str()), 0);
        ASSERT_EQ(::symlink((target.empty() ? outside : target).c_str(), (root + "/d").c_str()), 0);
    }

    void expectOutsideUntouched() { EXPECT_EQ(snapshot(outside), before) << "something outside the root changed"; }

    testutil::TempDir dir;
    std::string base, root, outside;
    std::map<std::string, std::string> before;
};

// ---- the folder helper ----

struct Operation {
    const char* what;
    std::string name;  // the item in "d"
    // Acts on the item; 0 when it did what it should.
    std::function<int(const ItemBeneath& item, const std::string& root)> act;
    // Whether its effect is there, in the folder that was "d".
    std::function<bool(const std::string& folder, const std::string& root)> done;
};

std::vector<Operation> operations() {
    auto nothing = [](const std::string&, const std::string&) { return true; };
    auto missing = [](const char* name) {
        return [name](const std::string& folder, const std::string&) { return !exists(folder + "/" + name); };
    };
    return {
        {"stat", "f.txt",
         [](const ItemBeneath& item, const std::string&) {
             platform::ItemFacts facts;
             int err = item.folder.statOf(item.name, facts);
             return err ? err : facts.isRegular && facts.size == 6 ? 0 : -1;
         },
         nothing},
        {"read", "f.txt",
         [](const ItemBeneath& item, const std::string&) {
             int fd = -1;
             if (int err = item.folder.openFile(item.name, FileOpen::Read, 0, fd)) return err;
             char buf[16];
             ssize_t n = ::read(fd, buf, sizeof buf);
             ::close(fd);
             return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0) == "inside" ? 0 : -1;
         },
         nothing},
        {"make a file", "new.txt",
         [](const ItemBeneath& item, const std::string&) {
             int fd = -1;
             if (int err = item.folder.openFile(item.name, FileOpen::Write | FileOpen::New, 0600, fd)) return err;
             bool ok = ::write(fd, "made", 4) == 4;
             ::close(fd);
             return ok ? 0 : -1;
         },
         [](const std::string& folder, const std::string&) { return testutil::readFile(folder + "/new.txt") == "made"; }},
        {"cut", "f.txt",
         [](const ItemBeneath& item, const std::string&) {
             int fd = -1;
             if (int err = item.folder.openFile(item.name, FileOpen::Write, 0, fd)) return err;
             int r = ::ftruncate(fd, 2);
             ::close(fd);
             return r;
         },
         [](const std::string& folder, const std::string&) { return testutil::readFile(folder + "/f.txt") == "in"; }},
        {"make a folder", "newdir",
         [](const ItemBeneath& item, const std::string&) { return item.folder.makeFolder(item.name, 0700); },
         [](const std::string& folder, const std::string&) { return stdfs::is_directory(folder + "/newdir"); }},
        {"make a link", "ln",
         [](const ItemBeneath& item, const std::string&) { return item.folder.makeLink("f.txt", item.name); },
         [](const std::string& folder, const std::string&) { return stdfs::is_symlink(folder + "/ln"); }},
        {"read a link", "rel",
         [](const ItemBeneath& item, const std::string&) {
             std::string target;
             int err = item.folder.readLink(item.name, target);
             return err ? err : target == "f.txt" ? 0 : -1;
         },
         nothing},
        {"list", "sub",
         [](const ItemBeneath& item, const std::string&) {
             OpenFolder folder;
             std::vector<std::string> names;
             if (int err = item.folder.openFolder(item.name, folder)) return err;
             int err = folder.names(names);
             return err ? err : names == std::vector<std::string>{"g.txt"} ? 0 : -1;
         },
         nothing},
        {"remove", "victim", [](const ItemBeneath& item, const std::string&) { return item.folder.remove(item.name); },
         missing("victim")},
        {"remove a tree", "sub", [](const ItemBeneath& item, const std::string&) { return item.folder.removeAll(item.name); },
         missing("sub")},
        {"rename", "f.txt",
         [](const ItemBeneath& item, const std::string&) { return item.folder.rename(item.name, item.folder, "renamed.txt"); },
         [](const std::string& folder, const std::string&) { return testutil::readFile(folder + "/renamed.txt") == "inside"; }},
        {"move to the root", "f.txt",
         [](const ItemBeneath& item, const std::string& root) {
             OpenFolder top;
             if (int err = OpenFolder::beneath(root, "", top)) return err;
             return item.folder.rename(item.name, top, "moved.txt");
         },
         [](const std::string& folder, const std::string& root) {
             return !exists(folder + "/f.txt") && testutil::readFile(root + "/moved.txt") == "inside";
         }},
        {"replace", "f.txt",
         [](const ItemBeneath& item, const std::string&) {
             return platform::writeFileAtomically(item, "new", 3, platform::AtomicWriteOptions()) ? 0 : -1;
         },
         [](const std::string& folder, const std::string&) {
             return testutil::readFile(folder + "/f.txt") == "new" && temporariesIn(folder, "f.txt").empty();
         }},
        {"replace through a writer", "f.txt",
         [](const ItemBeneath& item, const std::string&) {
             auto writer = platform::AtomicFileWriter::begin(item, platform::AtomicWriteOptions());
             return writer && ::write(writer->fd(), "new", 3) == 3 && writer->commit() ? 0 : -1;
         },
         [](const std::string& folder, const std::string&) {
             return testutil::readFile(folder + "/f.txt") == "new" && temporariesIn(folder, "f.txt").empty();
         }},
    };
}

// Every operation reaches its item through one open beneath the root; with a link on the way
// (absolute or relative, in the root or deeper) that open is refused and nothing is done.
void expectLinksOnTheWayRefused(const std::string& root, const std::map<std::string, std::string>& outsideBefore,
                                const std::string& outside) {
    for (std::string folder : {"/d", "/deeper/d"}) {
        for (const auto& op : operations()) {
            SCOPED_TRACE(std::string(op.what) + " in " + folder);
            ItemBeneath item;
            EXPECT_EQ(platform::openItemBeneath(root, root + folder + "/" + op.name, item), ELOOP);
            EXPECT_FALSE(item.folder.isOpen());
        }
    }
    EXPECT_EQ(snapshot(outside), outsideBefore);
}

TEST_F(Beneath, EveryOperationDoesItsWorkInAnOrdinaryFolder) {
    for (const auto& op : operations()) {
        SCOPED_TRACE(op.what);
        ItemBeneath item;
        ASSERT_EQ(platform::openItemBeneath(root, root + "/d/" + op.name, item), 0);
        EXPECT_EQ(op.act(item, root), 0);
        EXPECT_TRUE(op.done(root + "/d", root));
        // Each on a fresh folder.
        stdfs::remove_all(root);
        fill(root + "/d", "inside");
    }
    expectOutsideUntouched();
}

TEST_F(Beneath, AFolderSwappedForALinkBeforeTheItemIsReachedIsNeverEntered) {
    swapForLink();
    platform::makeDirs(root + "/deeper");
    ASSERT_EQ(::symlink("../../outside", (root + "/deeper/d").c_str()), 0);
    expectLinksOnTheWayRefused(root, before, outside);
}

TEST_F(Beneath, AFolderSwappedForALinkAfterTheItemIsReachedKeepsTheOperationInTheFolder) {
    for (const auto& op : operations()) {
        SCOPED_TRACE(op.what);
        ItemBeneath item;
        ASSERT_EQ(platform::openItemBeneath(root, root + "/d/" + op.name, item), 0);
        swapForLink();
        EXPECT_EQ(op.act(item, root), 0);
        EXPECT_TRUE(op.done(root + "/d.moved", root)) << "done in the folder that was reached, wherever it is now";
        expectOutsideUntouched();
        ::unlink((root + "/d").c_str());
        ::unlink((root + "/moved.txt").c_str());
        stdfs::remove_all(root + "/d.moved");
        fill(root + "/d", "inside");
    }
}

TEST_F(Beneath, RemovingATreeRemovesItsLinksAndNothingTheyLeadTo) {
    platform::makeDirs(root + "/t/inner");
    ASSERT_EQ(::symlink(outside.c_str(), (root + "/t/to-folder").c_str()), 0);
    ASSERT_EQ(::symlink((outside + "/f.txt").c_str(), (root + "/t/inner/to-file").c_str()), 0);
    ASSERT_EQ(::symlink("../../outside/sub", (root + "/t/inner/relative").c_str()), 0);
    ItemBeneath item;
    ASSERT_EQ(platform::openItemBeneath(root, root + "/t", item), 0);
    EXPECT_EQ(item.folder.removeAll(item.name), 0);
    EXPECT_FALSE(exists(root + "/t"));
    expectOutsideUntouched();
}

// The rules of reaching an item, whichever way the kernel offers.
void expectOnlyItemsInsideTheRootReached(const std::string& base, const std::string& root) {
    struct Case {
        std::string root, path;
        int error;
        std::string name;
    };
    const std::vector<Case> cases{
        {root, root, 0, ""},
        {root + "/", root, 0, ""},
        {root, root + "/d", 0, "d"},
        {root, root + "/d/f.txt", 0, "f.txt"},
        {root, root + "/d/rel", 0, "rel"},  // a link as the item itself: it is the item
        {"/", root + "/d/f.txt", 0, "f.txt"},
        {root, base + "/outside/f.txt", EXDEV, ""},
        {root, root + "2/f.txt", EXDEV, ""},
        {root, "d/f.txt", EXDEV, ""},
        {root, root + "/d/../../outside/f.txt", EINVAL, ""},
        {root, root + "/./d/f.txt", EINVAL, ""},
        {root, root + "//d/f.txt", EINVAL, ""},
        {root, root + "/d/", EINVAL, ""},
        {root, root + "/d/rel/x", ELOOP, ""},
        {root, root + "/d/f.txt/x", ENOTDIR, ""},
        {root, root + "/none/x", ENOENT, ""},
        {base + "/root-link", base + "/root-link/d", ELOOP, ""},  // the root holds no link either
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.root + " : " + c.path);
        ItemBeneath item;
        EXPECT_EQ(platform::openItemBeneath(c.root, c.path, item), c.error);
        if (c.error == 0) {
            EXPECT_EQ(item.name, c.name);
            platform::ItemFacts facts;
            EXPECT_EQ(item.folder.statOf(item.name, facts), 0);
        }
    }
    // The root itself is never removed or renamed.
    ItemBeneath top;
    ASSERT_EQ(platform::openItemBeneath(root, root, top), 0);
    EXPECT_EQ(top.folder.remove(top.name), EBUSY);
    EXPECT_EQ(top.folder.removeAll(top.name), EBUSY);
    EXPECT_EQ(top.folder.rename(top.name, top.folder, "x"), EBUSY);
    EXPECT_TRUE(stdfs::is_directory(root + "/d"));
    // A name is one component.
    for (const std::string name : {"a/b", ".", ".."}) {
        SCOPED_TRACE(name);
        platform::ItemFacts facts;
        int fd = -1;
        EXPECT_EQ(top.folder.statOf(name, facts), EINVAL);
        EXPECT_EQ(top.folder.openFile(name, FileOpen::Read, 0, fd), EINVAL);
        EXPECT_EQ(top.folder.removeAll(name), EINVAL);
    }
}

TEST_F(Beneath, OnlyItemsInsideTheRootAreReached) {
    ASSERT_EQ(::symlink(root.c_str(), (base + "/root-link").c_str()), 0);
    expectOnlyItemsInsideTheRootReached(base, root);
}

// Makes openat2 answer ENOSYS in this process, as kernels before it or sandboxes do.
bool withoutOpenat2() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(Beneath, WithoutOpenat2TheWayIsWalkedByTheSameRules) {
    ASSERT_EQ(::symlink(root.c_str(), (base + "/root-link").c_str()), 0);
    platform::makeDirs(root + "/deeper");
    ASSERT_EQ(::symlink("../../outside", (root + "/deeper/d").c_str()), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!withoutOpenat2()) ::_exit(77);
        expectOnlyItemsInsideTheRootReached(base, root);
        if (::rename((root + "/d").c_str(), (root + "/d.moved").c_str()) != 0 ||
            ::symlink(outside.c_str(), (root + "/d").c_str()) != 0) {
            ::_exit(2);
        }
        expectLinksOnTheWayRefused(root, before, outside);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no seccomp filter here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's failures above";
}

// ---- the local filesystem ----

class LocalBeneath : public Beneath {
protected:
    void SetUp() override {
        Beneath::SetUp();
        fs = std::make_unique<WHLocalFilesystem>("persistent", root);
    }
    static WHFilesystemURL url(const std::string& full) {
        return WHFilesystemURL::fileSystemURLWithString("whfile://localhost/persistent" + full);
    }
    // What a process with write access to the folder would do: the write's temporary files, seen
    // in the folder that moved, are planted outside under the same names.
    void plantTemporaries(const std::string& name) {
        for (const auto& t : temporariesIn(root + "/d.moved", name)) testutil::writeFile(outside + "/" + t, "planted");
        before = snapshot(outside);
    }
    std::unique_ptr<WHLocalFilesystem> fs;
};

TEST_F(LocalBeneath, AFolderSwappedForALinkWhileAWriteIsOpenLeadsNowhereOutside) {
    struct Case {
        const char* what;
        std::string name;
        std::uint64_t position;
        std::string data;
        bool finish;                       // else the write is given up
        std::optional<std::string> after;  // in the folder that moved; absent: no file
    };
    const std::vector<Case> cases{
        {"whole file replaced", "f.txt", 0, "new", true, "new"},
        {"replaced past the position", "f.txt", 2, "NEW", true, "inNEW"},
        {"appended at the end", "f.txt", 6, "+", true, "inside+"},
        {"a new file", "n.txt", 0, "new", true, "new"},
        {"a new file at a position", "n.txt", 4, "new", true, "new"},
        {"replacement given up", "f.txt", 0, "new", false, "inside"},
        {"append given up", "f.txt", 6, "+", false, "inside"},
        {"new file given up", "n.txt", 4, "new", false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WHPluginResult error;
        auto target = fs->openForWriteAtPosition(url("/d/" + c.name), c.position, error);
        ASSERT_TRUE(target);
        ASSERT_EQ(::write(target->fd(), c.data.data(), c.data.size()), static_cast<ssize_t>(c.data.size()));
        swapForLink();
        plantTemporaries(c.name);
        if (c.finish) {
            EXPECT_EQ(target->finish(c.data.size()).status(), 1u);
        }
        target.reset();
        expectOutsideUntouched();
        std::string moved = root + "/d.moved/" + c.name;
        EXPECT_EQ(exists(moved), c.after.has_value());
        if (c.after) {
            EXPECT_EQ(testutil::readFile(moved), *c.after);
        }
        EXPECT_TRUE(temporariesIn(root + "/d.moved", c.name).empty());
        // Back as it was.
        for (const auto& t : temporariesIn(outside, c.name)) ::unlink((outside + "/" + t).c_str());
        ::unlink((root + "/d").c_str());
        ::unlink(moved.c_str());
        testutil::writeFile(root + "/d.moved/f.txt", "inside");
        ASSERT_EQ(::rename((root + "/d.moved").c_str(), (root + "/d").c_str()), 0);
        before = snapshot(outside);
    }
}

// A filesystem that is not on the local disk; its read lets `whileReading` run first.
class OtherFilesystem : public WHFileSystem {
public:
    std::function<void()> whileReading;
    void readFileAtURL(const WHFilesystemURL&, std::int64_t, std::int64_t, const ReadCallback& callback) override {
        whileReading();
        callback(Bytes{'c', 'o', 'p', 'y'}, "text/plain", 0);
    }
    WHPluginResult entryForLocalURI(const WHFilesystemURL&) override { return none(); }
    WHPluginResult getFileForURL(const WHFilesystemURL&, const std::string&, const Value&) override { return none(); }
    WHPluginResult getParentForURL(const WHFilesystemURL&) override { return none(); }
    WHPluginResult setMetadataForURL(const WHFilesystemURL&, const Value&) override { return none(); }
    WHPluginResult removeFileAtURL(const WHFilesystemURL&) override { return none(); }
    WHPluginResult recursiveRemoveFileAtURL(const WHFilesystemURL&) override { return none(); }
    WHPluginResult readEntriesAtURL(const WHFilesystemURL&) override { return none(); }
    WHPluginResult truncateFileAtURL(const WHFilesystemURL&, std::uint64_t) override { return none(); }
    WHPluginResult writeToFileAtURL(const WHFilesystemURL&, const Bytes&, bool) override { return none(); }
    void copyFileToURL(const WHFilesystemURL&, const std::string&, WHFileSystem*, const WHFilesystemURL&, bool,
                       const ResultCallback& callback) override {
        callback(none());
    }
    void getFileMetadataForURL(const WHFilesystemURL&, const ResultCallback& callback) override { callback(none()); }
    std::optional<Value> makeEntryForLocalURL(const WHFilesystemURL&) override { return std::nullopt; }
    Value makeEntryForPath(const std::string&, bool) override { return nullptr; }
    const std::string& name() const override { return name_; }
    const URLTransformer& urlTransformer() const override { return transformer_; }
    void setUrlTransformer(URLTransformer) override {}

private:
    static WHPluginResult none() { return WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_IO_EXCEPTION, 1); }
    std::string name_ = "other";
    URLTransformer transformer_;
};

TEST_F(LocalBeneath, ACopyWhoseDestinationIsSwappedForALinkWhileTheSourceIsReadStaysInside) {
    OtherFilesystem source;
    source.whileReading = [&] { swapForLink(); };
    WHPluginResult answer;
    fs->copyFileToURL(url("/d"), "copied.txt", &source, WHFilesystemURL::fileSystemURLWithString("whfile://localhost/other/x"),
                      true, [&](const WHPluginResult& r) { answer = r; });
    EXPECT_EQ(answer.status(), 1u);
    expectOutsideUntouched();
    EXPECT_EQ(testutil::readFile(root + "/d.moved/copied.txt"), "copy");
}

// One thread swaps "d" and a link to the outside folder back and forth as fast as it can while
// every operation of the filesystem runs on items in "d", until each has both done its work and
// been refused: nothing outside is read, listed or changed.
TEST_F(LocalBeneath, WhileAnotherThreadSwapsAFolderAndALinkNothingOutsideIsReachedByAnyOperation) {
    ASSERT_EQ(::symlink(outside.c_str(), (root + "/d.link").c_str()), 0);
    platform::makeDirs(root + "/tree/inner");
    testutil::writeFile(root + "/tree/inner/t.txt", "t");
    testutil::writeFile(root + "/top.txt", "top");
    // The folder itself, whatever its name at the moment, for putting back what an operation did.
    int real = ::open((root + "/d").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(real, 0);
    const std::string d = "/proc/self/fd/" + std::to_string(real);
    auto putBack = [&] {
        for (const char* made : {"new.txt", "newdir", "c.txt", "tree2", "m.txt"}) stdfs::remove_all(d + "/" + made);
        for (const auto& e : stdfs::directory_iterator(d)) {
            if (e.path().filename().string().rfind("f.txt.", 0) == 0) stdfs::remove(e.path());
        }
        testutil::writeFile(d + "/f.txt", "inside");
        testutil::writeFile(d + "/victim", "v");
        platform::makeDirs(d + "/sub");
        testutil::writeFile(d + "/sub/g.txt", "g");
        stdfs::remove(root + "/m.txt");
    };

    enum Outcome { Done, Refused, Leaked };
    auto status = [](const WHPluginResult& r) { return r.status() == 1u ? Done : Refused; };
    struct Op {
        const char* what;
        std::function<Outcome()> run;
    };
    const std::vector<Op> ops{
        {"read",
         [&] {
             Outcome o = Refused;
             fs->readFileAtURL(url("/d/f.txt"), 0, -1, [&](std::optional<Bytes> data, const std::string&, int) {
                 if (data) o = std::string(data->begin(), data->end()) == "inside" ? Done : Leaked;
             });
             return o;
         }},
        {"metadata",
         [&] {
             Outcome o = Refused;
             fs->getFileMetadataForURL(url("/d/f.txt"), [&](const WHPluginResult& r) {
                 if (r.status() == 1u) o = (*r.message())["size"] == 6 ? Done : Leaked;
             });
             return o;
         }},
        {"list",
         [&] {
             auto r = fs->readEntriesAtURL(url("/d"));
             if (r.status() != 1u) return Refused;
             for (const auto& e : *r.message()) {
                 if (e["name"] == "outside-only.txt") return Leaked;
             }
             return Done;
         }},
        {"entry", [&] { return status(fs->entryForLocalURI(url("/d/f.txt"))); }},
        {"make a file", [&] { return status(fs->getFileForURL(url("/d"), "new.txt", {{"create", true}})); }},
        {"make a folder", [&] { return status(fs->getFileForURL(url("/d"), "newdir", {{"create", true}, {"getDir", true}})); }},
        {"append", [&] { return status(fs->writeToFileAtURL(url("/d/f.txt"), Bytes{'+'}, true)); }},
        {"replace", [&] { return status(fs->writeAtPosition(url("/d/f.txt"), Bytes{'n', 'e', 'w'}, 0)); }},
        {"replace past a position", [&] { return status(fs->writeAtPosition(url("/d/f.txt"), Bytes{'N'}, 2)); }},
        {"cut", [&] {
             auto r = fs->truncateFileAtURL(url("/d/f.txt"), 1);
             return r.status() == 1u && *r.message() == 1 ? Done : Refused;
         }},
        {"remove", [&] { return status(fs->removeFileAtURL(url("/d/victim"))); }},
        {"remove a tree", [&] { return status(fs->recursiveRemoveFileAtURL(url("/d/sub"))); }},
        {"copy into it",
         [&] {
             WHPluginResult r;
             fs->copyFileToURL(url("/d"), "c.txt", fs.get(), url("/top.txt"), true, [&](const WHPluginResult& a) { r = a; });
             return status(r);
         }},
        {"copy a tree into it",
         [&] {
             WHPluginResult r;
             fs->copyFileToURL(url("/d"), "tree2", fs.get(), url("/tree"), true, [&](const WHPluginResult& a) { r = a; });
             return status(r);
         }},
        {"move out of it",
         [&] {
             WHPluginResult r;
             fs->copyFileToURL(url("/"), "m.txt", fs.get(), url("/d/f.txt"), false, [&](const WHPluginResult& a) { r = a; });
             return status(r);
         }},
    };

    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
    std::thread swapper([&] {
        const std::string a = root + "/d", b = root + "/d.link";
        while (!stop.load()) {
            if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
        }
    });
    struct Joiner {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~Joiner() {
            stop = true;
            if (thread.joinable()) thread.join();
        }
    } joiner{stop, swapper};

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    for (const auto& op : ops) {
        SCOPED_TRACE(op.what);
        long done = 0, refused = 0, rounds = 0;
        // Both outcomes, many times over: the swaps fall between the checks and the operations too.
        while ((done < 20 || refused < 20 || rounds < 200) && std::chrono::steady_clock::now() < deadline) {
            putBack();
            Outcome o = op.run();
            ASSERT_NE(o, Leaked) << "read or listed outside the root";
            ++(o == Done ? done : refused);
            ++rounds;
        }
        EXPECT_GE(done, 20);
        EXPECT_GE(refused, 20);
    }
    stop = true;
    swapper.join();
    EXPECT_GT(swaps.load(), 0);
    ::close(real);
    expectOutsideUntouched();
}

}  // namespace
