// The program's end of the page bridge at its boundary, against a web-process end of the test's
// own on a socket pair: which channel is heard (documents the program did not commit, forged and
// second channels, documents left), descriptors nobody announced, deliveries longer than a
// message or queued before the channel opened, and what the end of a web process leaves.
#include <gtest/gtest.h>

#include <dirent.h>
#include <glib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/pagebridge/program_end.h"
#include "tests/support/test_util.h"

namespace pb = platform::pagebridge;
using State = pb::ProgramEnd::State;

namespace {

int openDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = d ? readdir(d) : nullptr) n += e->d_name[0] != '.';
    if (d) closedir(d);
    return n;
}

// The program's end with the engine's part played by the test: the tokens it handed out, and the
// calls it passed on.
struct Program : pb::ProgramEnd::Engine {
    std::vector<std::string> tokens;
    std::vector<std::string> calls;  // callback identifiers, in order
    pb::ProgramEnd end{*this, [this](const pb::PageMessage& m) {
                           if (const auto* c = std::get_if<pb::Call>(&m)) calls.push_back(c->callbackId.value_or(""));
                       }};
    void admit(const pb::Admit& a) override { tokens.push_back(a.token); }
    const std::string& token() const { return tokens.back(); }
};

// A web process's page: announces a channel with a token, sends calls on it, and keeps what the
// program delivers (the scripts' texts, descriptors read).
struct WebPage {
    std::unique_ptr<pb::Channel> channel;
    int raw = -1;  // the page's end of the socket
    std::vector<std::string> scripts;
    std::vector<std::size_t> messageSizes;  // items per delivery message
    int closed = 0;

    WebPage(pb::ProgramEnd& end, const std::string& token) {
        int pair[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        raw = pair[0];
        channel = std::make_unique<pb::Channel>(
            raw, G_PRIORITY_DEFAULT,
            [this](const std::string& name, GVariant* params, pb::ReceivedFds& fds) {
                auto m = pb::decodeProgramMessage(name, params, fds);
                ASSERT_TRUE(m) << name;
                if (auto* d = std::get_if<pb::Delivery>(&*m)) {
                    messageSizes.push_back(d->items.size());
                    for (auto& item : d->items) {
                        if (auto* s = std::get_if<pb::Script>(&item)) scripts.push_back(s->text);
                        if (auto* f = std::get_if<pb::ScriptInDescriptor>(&item)) {
                            std::string text(static_cast<std::size_t>(f->length), '\0');
                            EXPECT_EQ(::pread(f->fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
                            scripts.push_back(std::move(text));
                        }
                        if (std::holds_alternative<pb::PageBytes>(item)) scripts.push_back("<bytes>");
                    }
                }
                pb::closeDescriptors(*m);
            },
            [this] { ++closed; });
        end.channelAnnounced({token, pair[1]});
    }
    void call(const std::string& id) {
        channel->send(pb::encode(pb::PageMessage{pb::Call{id, "Probe", "echo", "[]", std::nullopt}}));
    }
};

std::vector<pb::PageDelivery> scripts(const std::vector<std::string>& texts) {
    std::vector<pb::PageDelivery> out;
    for (const auto& t : texts) out.push_back({t, std::nullopt});
    return out;
}

// Lets both ends read what is on their way.
void settle() {
    for (int i = 0; i < 20; ++i) g_main_context_iteration(nullptr, FALSE);
}

}  // namespace

// Only the channel that presents the token of the application document the program committed is
// heard, and only it gets deliveries: a page whose document the program did not commit, a forged
// or stale token and a second channel for the document reach nothing and are closed.
TEST(ProgramEnd, OnlyTheCommittedApplicationDocumentsChannelIsHeard) {
    struct Case {
        const char* what;
        // Commits and announcements (pages that are heard stay in `kept`); answers the page that
        // should not be heard.
        std::function<std::unique_ptr<WebPage>(Program&, std::vector<std::unique_ptr<WebPage>>& kept)> play;
    };
    const std::vector<Case> cases = {
        {"a remote document is shown",
         [](Program& p, std::vector<std::unique_ptr<WebPage>>&) {
             p.end.documentCommitted(false);
             EXPECT_TRUE(p.tokens.empty()) << "no document but the application's is admitted";
             return std::make_unique<WebPage>(p.end, "00112233445566778899aabbccddeeff");
         }},
        {"a forged token",
         [](Program& p, std::vector<std::unique_ptr<WebPage>>&) {
             p.end.documentCommitted(true);
             return std::make_unique<WebPage>(p.end, "00112233445566778899aabbccddeeff");
         }},
        {"the token of a document committed before",
         [](Program& p, std::vector<std::unique_ptr<WebPage>>&) {
             p.end.documentCommitted(true);
             std::string old = p.token();
             p.end.documentCommitted(true);
             return std::make_unique<WebPage>(p.end, old);
         }},
        {"a second channel for the document",
         [](Program& p, std::vector<std::unique_ptr<WebPage>>& kept) {
             p.end.documentCommitted(true);
             kept.push_back(std::make_unique<WebPage>(p.end, p.token()));
             EXPECT_EQ(p.end.state(), State::Open);
             return std::make_unique<WebPage>(p.end, p.token());
         }},
        {"the document's channel after a remote document came",
         [](Program& p, std::vector<std::unique_ptr<WebPage>>&) {
             p.end.documentCommitted(true);
             auto page = std::make_unique<WebPage>(p.end, p.token());
             EXPECT_EQ(p.end.state(), State::Open);
             p.end.documentCommitted(false);
             return page;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Program program;
        std::vector<std::unique_ptr<WebPage>> kept;
        auto intruder = c.play(program, kept);
        ASSERT_TRUE(testutil::spinUntil([&] { return intruder->closed > 0; }, 5)) << "the program closed its end";
        intruder->call("intruder");
        program.end.deliver(scripts({"for the document's own channel"}));
        settle();
        EXPECT_TRUE(program.calls.empty());
        EXPECT_TRUE(intruder->scripts.empty());
        // Where the document has its channel, that one alone gets the delivery.
        for (const auto& page : kept) EXPECT_TRUE(testutil::spinUntil([&] { return page->scripts.size() == 1; }, 5));
    }
    // The document's own channel is heard both ways.
    Program program;
    program.end.documentCommitted(true);
    WebPage page(program.end, program.token());
    page.call("own");
    program.end.deliver(scripts({"answer"}));
    ASSERT_TRUE(testutil::spinUntil([&] { return !program.calls.empty() && !page.scripts.empty(); }, 5));
    EXPECT_EQ(program.calls, std::vector<std::string>{"own"});
    EXPECT_EQ(page.scripts, std::vector<std::string>{"answer"});
}

// Descriptors a page sends that no header announces close its channel at once and stay open
// nowhere; the page is heard no more.
TEST(ProgramEnd, UnannouncedDescriptorsCloseThePagesChannel) {
    Program program;
    program.end.documentCommitted(true);
    const int before = openDescriptors();
    WebPage page(program.end, program.token());
    ASSERT_EQ(program.end.state(), State::Open);
    // 20 messages that announce none and carry 200 each.
    std::string header(24, '\0');
    const std::uint32_t one = 1;
    std::memcpy(&header[0], &one, 4);
    std::memcpy(&header[4], &one, 4);
    header += "ns";
    for (int m = 0; m < 20; ++m) {
        iovec iov{header.data(), header.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 200)];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * 200);
        std::vector<int> zeros(200, 0);
        std::memcpy(CMSG_DATA(c), zeros.data(), sizeof(int) * 200);
        if (::sendmsg(page.raw, &msg, MSG_NOSIGNAL) < 0) break;  // the program's end may be gone already
    }
    ASSERT_TRUE(testutil::spinUntil([&] { return program.end.state() == State::Shut; }, 5));
    settle();
    // What is left: the page's own end of the pair.
    EXPECT_LE(openDescriptors(), before + 1);
    page.call("after");
    settle();
    EXPECT_TRUE(program.calls.empty());
}

// Deliveries arrive whole and in order, whatever their size and however many pile up: what came
// before the channel opened waits for it, batches longer than a message go as several, and a
// script longer than a message goes in a descriptor.
TEST(ProgramEnd, DeliveriesArriveWholeAndInOrder) {
    const std::size_t MiB = 1u << 20;
    struct Case {
        const char* what;
        std::vector<std::size_t> before;  // sizes delivered before the channel opens
        std::vector<std::size_t> after;
    };
    const std::vector<Case> cases = {
        {"queued before the channel opened", {10, 20, 30}, {40, 50}},
        {"a result of 100 MiB between small ones", {}, {10, 100 * MiB, 10}},
        {"a batch over the channel's limit", {}, std::vector<std::size_t>(40, 3 * MiB)},
        {"both while the page was not there yet", std::vector<std::size_t>(30, 3 * MiB), {70 * MiB, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Program program;
        program.end.documentCommitted(true);
        std::vector<std::string> sent;
        auto make = [&](const std::vector<std::size_t>& sizes) {
            std::vector<std::string> texts;
            for (std::size_t n : sizes) {
                std::string t = std::to_string(sent.size()) + ":";
                t.resize(std::max(n, t.size()), static_cast<char>('a' + sent.size() % 26));
                sent.push_back(t);
                texts.push_back(std::move(t));
            }
            return scripts(texts);
        };
        program.end.deliver(make(c.before));
        WebPage page(program.end, program.token());
        program.end.deliver(make(c.after));
        ASSERT_TRUE(testutil::spinUntil([&] { return page.scripts.size() >= sent.size() || page.closed; }, 60));
        EXPECT_EQ(page.closed, 0);
        ASSERT_EQ(page.scripts.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(page.scripts[i].size(), sent[i].size()) << "item " << i;
            EXPECT_TRUE(page.scripts[i] == sent[i]) << "item " << i;
        }
        EXPECT_EQ(program.end.state(), State::Open);
    }
}

// When the page's web process ends or its document is left, what waited for it goes: the
// acknowledgements of its bytes end without a byte, and held bytes are asked of no one.
TEST(ProgramEnd, WhatTheGonePageHeldEnds) {
    struct Case {
        const char* what;
        void (*leave)(pb::ProgramEnd&);
    };
    const Case cases[] = {
        {"the web process ended", [](pb::ProgramEnd& e) { e.webProcessEnded(); }},
        {"a remote document came", [](pb::ProgramEnd& e) { e.documentCommitted(false); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Program program;
        program.end.documentCommitted(true);
        int data[2], ack[2];
        ASSERT_EQ(::pipe(data), 0);
        ASSERT_EQ(::pipe(ack), 0);
        pb::PageBytes bytes;
        bytes.callbackId = "bytes";
        bytes.fd = data[0];
        bytes.length = 1;
        bytes.ackFd = ack[1];
        program.end.deliver({{"", bytes}});
        // The caller's own copies go once the delivery is handed over.
        ::close(data[0]);
        ::close(ack[1]);
        c.leave(program.end);
        EXPECT_EQ(program.end.state(), State::Shut);
        char got = 0;
        EXPECT_EQ(::read(ack[0], &got, 1), 0) << "the acknowledgement ended without a byte";
        ::close(ack[0]);
        ::close(data[1]);
        // Nothing is sent for held bytes now, so the writer's wait ends with its own copies.
        int out[2], answer[2];
        ASSERT_EQ(::pipe(out), 0);
        ASSERT_EQ(::pipe(answer), 0);
        program.end.writeHeld("00112233445566778899aabbccddeeff", out[1], answer[1]);
        ::close(out[1]);
        ::close(answer[1]);
        EXPECT_EQ(::read(answer[0], &got, 1), 0);
        for (int fd : {out[0], answer[0]}) ::close(fd);
    }
}
