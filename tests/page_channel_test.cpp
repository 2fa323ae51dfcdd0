// The page bridge's socket channel between two ends in this process: order, large messages the
// socket takes in parts, descriptors, and what a broken or closing peer leaves, stray descriptors
// included.
#include <gtest/gtest.h>

#include <dirent.h>
#include <glib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/pagebridge/channel.h"
#include "tests/support/test_util.h"

using platform::pagebridge::Channel;
using platform::pagebridge::Encoded;
using platform::pagebridge::ReceivedFds;

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
    std::unique_ptr<Channel> channel;
    explicit End(int fd) {
        channel = std::make_unique<Channel>(
            fd, G_PRIORITY_DEFAULT,
            [this](const std::string& name, GVariant* params, ReceivedFds& fds) {
                Received r{name, {}, {}};
                if (g_variant_is_of_type(params, G_VARIANT_TYPE("(s)"))) {
                    const char* s = nullptr;
                    g_variant_get(params, "(&s)", &s);
                    r.text = s;
                }
                for (std::size_t i = 0; i < fds.size(); ++i) r.fds.push_back(fds.take(static_cast<std::int32_t>(i)));
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

Encoded text(const std::string& s, const char* name = "m") { return {name, g_variant_new("(s)", s.c_str())}; }

// Descriptors open in this process.
int openDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = d ? readdir(d) : nullptr) n += e->d_name[0] != '.';
    if (d) closedir(d);
    return n;
}

}  // namespace

TEST(Channel, MessagesArriveWholeAndInOrderWhateverTheirSize) {
    Pair p;
    End a(p.fds[0]), b(p.fds[1]);
    // Larger than the socket takes at once: the rest goes as it drains, the next ones after it.
    const std::vector<std::string> texts = {"first", std::string(8 << 20, 'x'), "", std::string(70000, 'y'), "last"};
    const std::vector<std::string> names = {"m0", "m1", "m2", "m3", "m4"};
    for (std::size_t i = 0; i < texts.size(); ++i) ASSERT_TRUE(a.channel->send(text(texts[i], names[i].c_str())));
    ASSERT_TRUE(testutil::spinUntil([&] { return b.got.size() == texts.size(); }));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(b.got[i].name, "m" + std::to_string(i));
        EXPECT_EQ(b.got[i].text, texts[i]) << "message " << i;
    }
    // And back the other way on the same pair.
    ASSERT_TRUE(b.channel->send(text("ok", "reply")));
    ASSERT_TRUE(testutil::spinUntil([&] { return a.got.size() == 1; }));
    EXPECT_EQ(a.got[0].text, "ok");
    EXPECT_EQ(a.closed + b.closed, 0);
}

TEST(Channel, DescriptorsTravelWithTheirMessage) {
    Pair p;
    End a(p.fds[0]), b(p.fds[1]);
    std::vector<int> readEnds;
    for (int i = 0; i < 3; ++i) {
        int pipe[2];
        ASSERT_EQ(::pipe(pipe), 0);
        readEnds.push_back(pipe[0]);
        ASSERT_TRUE(a.channel->send(text(std::to_string(i), "fd"), {pipe[1]}));
        ::close(pipe[1]);
        ASSERT_TRUE(a.channel->send(text("between", "plain")));
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
    const std::vector<int> many(Channel::kMaxDescriptors + 1, 0);
    EXPECT_FALSE(a.channel->send(text("", "many"), many));
    // Nor a message longer than the channel reads.
    EXPECT_FALSE(a.channel->send(text(std::string(Channel::kMaxMessageBytes, 'z'), "long")));
    EXPECT_TRUE(a.channel->isOpen());
    ASSERT_TRUE(a.channel->send(text("still", "after")));
    ASSERT_TRUE(testutil::spinUntil([&] { return b.got.size() == 7; }));
    EXPECT_EQ(b.got.back().text, "still");
}

TEST(Channel, DrainHandsOverWhatIsWaitingWithoutTheMainLoop) {
    Pair p;
    End a(p.fds[0]), b(p.fds[1]);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(a.channel->send(text(std::to_string(i), "n")));
    EXPECT_TRUE(b.got.empty());
    b.channel->drain();
    ASSERT_EQ(b.got.size(), 100u);
    EXPECT_EQ(b.got[99].text, "99");
}

// What a peer writes that is no message closes the channel, once, and reaches no handler.
TEST(Channel, ABrokenOrClosingPeerClosesTheChannelOnce) {
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
        EXPECT_FALSE(b.channel->send(text("x", "late"))) << c.what;
    }
}

// Descriptors that no header announces, however they come, close the channel at once: none of
// them stays open here, and no message carrying them reaches the handler.
TEST(Channel, DescriptorsNoMessageAnnouncedCloseTheChannel) {
    auto header = [](std::uint32_t fds, std::uint64_t data) {
        std::string h(24, '\0');
        const std::uint32_t name = 1, type = 1;
        std::memcpy(&h[0], &name, 4);
        std::memcpy(&h[4], &type, 4);
        std::memcpy(&h[8], &fds, 4);
        std::memcpy(&h[16], &data, 8);
        return h + "ns";
    };
    // Writes the bytes with so many copies of a descriptor.
    auto sendRaw = [](int socket, const std::string& bytes, int copies) {
        iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        std::vector<char> control(CMSG_SPACE(sizeof(int) * static_cast<std::size_t>(copies)));
        if (copies > 0) {
            msg.msg_control = control.data();
            msg.msg_controllen = control.size();
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * static_cast<std::size_t>(copies));
            std::vector<int> fds(static_cast<std::size_t>(copies), 0);
            std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
        }
        return ::sendmsg(socket, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    };
    struct Write {
        std::string bytes;
        int copies;
    };
    struct Case {
        const char* what;
        std::vector<Write> writes;
    };
    const std::vector<Case> cases = {
        {"20 messages announcing none, 200 each", std::vector<Write>(20, Write{header(0, 0), 200})},
        {"more than announced", {{header(1, 0), 2}}},
        {"a message's descriptors in the middle of it", {{header(0, 0).substr(0, 10), 0}, {header(0, 0).substr(10), 3}}},
        {"fewer than announced", {{header(2, 0), 1}}},
    };
    for (const auto& c : cases) {
        Pair p;
        const int before = openDescriptors();
        End b(p.fds[1]);
        for (const auto& w : c.writes) ASSERT_TRUE(sendRaw(p.fds[0], w.bytes, w.copies)) << c.what;
        ASSERT_TRUE(testutil::spinUntil([&] { return b.closed > 0; }, 5)) << c.what;
        EXPECT_TRUE(b.got.empty()) << c.what;
        EXPECT_FALSE(b.channel->isOpen()) << c.what;
        // Only the writing end is left of the pair; what was sent is gone with the closed end.
        EXPECT_LE(openDescriptors(), before - 1) << c.what;
        ::close(p.fds[0]);
    }
    // Announced and carried alike, they arrive: the rule keeps honest messages.
    Pair p;
    End b(p.fds[1]);
    ASSERT_TRUE(sendRaw(p.fds[0], header(3, 0), 3));
    ASSERT_TRUE(sendRaw(p.fds[0], header(0, 0), 0));
    ASSERT_TRUE(testutil::spinUntil([&] { return b.got.size() == 2; }, 5));
    EXPECT_EQ(b.got[0].fds.size(), 3u);
    EXPECT_EQ(b.closed, 0);
    ::close(p.fds[0]);
}
