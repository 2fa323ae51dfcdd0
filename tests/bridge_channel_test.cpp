// The page bridge's socket channel between two ends in this process: order, large messages the
// socket takes in parts, descriptors, and what a broken or closing peer leaves.
#include <gtest/gtest.h>

#include <gio/gunixfdlist.h>
#include <glib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/bridge_channel.h"
#include "tests/support/test_util.h"

using platform::BridgeChannel;

namespace {

struct Received {
    std::string name;
    std::string text;  // the "(s)" parameter
    std::vector<int> fds;
};

// One end whose messages and closing are recorded.
struct End {
    std::vector<Received> got;
    int closed = 0;
    std::unique_ptr<BridgeChannel> channel;
    explicit End(int fd) {
        channel = std::make_unique<BridgeChannel>(
            fd, G_PRIORITY_DEFAULT,
            [this](const std::string& name, GVariant* params, GUnixFDList* fds) {
                Received r{name, {}, {}};
                if (g_variant_is_of_type(params, G_VARIANT_TYPE("(s)"))) {
                    const char* s = nullptr;
                    g_variant_get(params, "(&s)", &s);
                    r.text = s;
                }
                if (fds) {
                    gint n = 0;
                    int* list = g_unix_fd_list_steal_fds(fds, &n);
                    r.fds.assign(list, list + n);
                    g_free(list);
                }
                got.push_back(std::move(r));
            },
            [this] { ++closed; });
    }
    ~End() {
        for (auto& r : got)
            for (int f : r.fds) ::close(f);
    }
};

struct Pair {
    int fds[2] = {-1, -1};
    Pair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
};

GVariant* text(const std::string& s) { return g_variant_new("(s)", s.c_str()); }

}  // namespace

TEST(BridgeChannel, MessagesArriveWholeAndInOrderWhateverTheirSize) {
    Pair p;
    End a(p.fds[0]), b(p.fds[1]);
    // Larger than the socket takes at once: the rest goes as it drains, the next ones after it.
    const std::vector<std::string> texts = {"first", std::string(8 << 20, 'x'), "", std::string(70000, 'y'), "last"};
    for (std::size_t i = 0; i < texts.size(); ++i) ASSERT_TRUE(a.channel->send("m" + std::to_string(i), text(texts[i])));
    ASSERT_TRUE(testutil::spinUntil([&] { return b.got.size() == texts.size(); }));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(b.got[i].name, "m" + std::to_string(i));
        EXPECT_EQ(b.got[i].text, texts[i]) << "message " << i;
    }
    // And back the other way on the same pair.
    ASSERT_TRUE(b.channel->send("reply", text("ok")));
    ASSERT_TRUE(testutil::spinUntil([&] { return a.got.size() == 1; }));
    EXPECT_EQ(a.got[0].text, "ok");
    EXPECT_EQ(a.closed + b.closed, 0);
}

TEST(BridgeChannel, DescriptorsTravelWithTheirMessage) {
    Pair p;
    End a(p.fds[0]), b(p.fds[1]);
    std::vector<int> readEnds;
    for (int i = 0; i < 3; ++i) {
        int pipe[2];
        ASSERT_EQ(::pipe(pipe), 0);
        readEnds.push_back(pipe[0]);
        GUnixFDList* list = g_unix_fd_list_new();
        g_unix_fd_list_append(list, pipe[1], nullptr);
        ::close(pipe[1]);
        ASSERT_TRUE(a.channel->send("fd", text(std::to_string(i)), list));
        g_object_unref(list);
        ASSERT_TRUE(a.channel->send("plain", text("between")));
    }
    ASSERT_TRUE(testutil::spinUntil([&] { return b.got.size() == 6; }));
    for (int i = 0; i < 3; ++i) {
        const Received& r = b.got[static_cast<std::size_t>(2 * i)];
        ASSERT_EQ(r.fds.size(), 1u);
        EXPECT_TRUE(b.got[static_cast<std::size_t>(2 * i + 1)].fds.empty());
        // The descriptor is the sent pipe's: what goes in comes out of the kept read end.
        const std::string mark = "pipe " + r.text;
        ASSERT_EQ(::write(r.fds[0], mark.data(), mark.size()), static_cast<ssize_t>(mark.size()));
        char buf[32] = {};
        ASSERT_EQ(::read(readEnds[static_cast<std::size_t>(i)], buf, sizeof buf), static_cast<ssize_t>(mark.size()));
        EXPECT_EQ(std::string(buf), "pipe " + std::to_string(i));
        ::close(readEnds[static_cast<std::size_t>(i)]);
    }
    // More descriptors than a message may carry: refused, and the channel stays usable.
    GUnixFDList* many = g_unix_fd_list_new();
    for (unsigned i = 0; i <= BridgeChannel::kMaxDescriptors; ++i) g_unix_fd_list_append(many, 0, nullptr);
    EXPECT_FALSE(a.channel->send("many", text(""), many));
    g_object_unref(many);
    // Nor a message longer than the channel reads.
    EXPECT_FALSE(a.channel->send("long", text(std::string(BridgeChannel::kMaxMessageBytes, 'z'))));
    EXPECT_TRUE(a.channel->isOpen());
    ASSERT_TRUE(a.channel->send("after", text("still")));
    ASSERT_TRUE(testutil::spinUntil([&] { return b.got.size() == 7; }));
    EXPECT_EQ(b.got.back().text, "still");
}

TEST(BridgeChannel, DrainHandsOverWhatIsWaitingWithoutTheMainLoop) {
    Pair p;
    End a(p.fds[0]), b(p.fds[1]);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(a.channel->send("n", text(std::to_string(i))));
    EXPECT_TRUE(b.got.empty());
    b.channel->drain();
    ASSERT_EQ(b.got.size(), 100u);
    EXPECT_EQ(b.got[99].text, "99");
}

// What a peer writes that is no message closes the channel, once, and reaches no handler.
TEST(BridgeChannel, ABrokenOrClosingPeerClosesTheChannelOnce) {
    struct Case {
        const char* what;
        std::string bytes;  // written raw by the peer before it closes; none: it just closes
    };
    auto header = [](std::uint32_t name, std::uint32_t type, std::uint32_t fds, std::uint64_t data) {
        std::string h(24, '\0');
        std::memcpy(&h[0], &name, 4);
        std::memcpy(&h[4], &type, 4);
        std::memcpy(&h[8], &fds, 4);
        std::memcpy(&h[16], &data, 8);
        return h;
    };
    const std::vector<Case> cases = {
        {"peer closes", ""},
        {"name too long", header(100000, 1, 0, 0)},
        {"no type", header(1, 0, 0, 0) + "n"},
        {"too large", header(1, 1, 0, std::uint64_t(1) << 40) + "ns"},
        {"descriptors missing", header(1, 1, 2, 0) + "ns"},
        {"invalid type", header(1, 2, 0, 0) + "n(("},
    };
    for (const auto& c : cases) {
        Pair p;
        End b(p.fds[1]);
        if (!c.bytes.empty()) {
            ASSERT_EQ(::write(p.fds[0], c.bytes.data(), c.bytes.size()), static_cast<ssize_t>(c.bytes.size()));
        }
        ::close(p.fds[0]);
        ASSERT_TRUE(testutil::spinUntil([&] { return b.closed > 0; }, 5)) << c.what;
        for (int i = 0; i < 5; ++i) g_main_context_iteration(nullptr, FALSE);
        EXPECT_EQ(b.closed, 1) << c.what;
        EXPECT_TRUE(b.got.empty()) << c.what;
        EXPECT_FALSE(b.channel->isOpen()) << c.what;
        EXPECT_FALSE(b.channel->send("late", text("x"))) << c.what;
    }
}
