// One end of the page's own channel between the program and its web-process extension: messages
// of a name, a GVariant and descriptors over a stream socket of a socket pair, read and written
// from the default main context of the thread that made the end. A message goes straight from the
// sending thread to the receiving process's main loop, where the engine's messages take a turn
// through each side's I/O thread as well.
//
// Nothing blocks: what the socket does not take at once waits, in order, until it does. Every
// queue is bounded. The end closes (and says so once) when the peer closes, on an error, on a
// message it cannot read, and on descriptors that no message announced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/lifetime.h"
#include "platform/pagebridge/wire.h"

typedef struct _GSource GSource;

namespace platform::pagebridge {

class Channel {
public:
    // The descriptors are the handler's to take for the call; what it leaves closes after it.
    using Handler = std::function<void(const std::string& name, GVariant* params, ReceivedFds& fds)>;
    using Closed = std::function<void()>;

    // Takes `fd`, one end of a stream socket pair; its messages go to `onMessage` from sources of
    // the given priority.
    Channel(int fd, int priority, Handler onMessage, Closed onClosed);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Sends the message (floating parameters are taken) with copies of the descriptors. False when
    // the channel is closed or the message cannot go (see fits()).
    bool send(const Encoded& message, const std::vector<int>& fds = {});
    bool isOpen() const { return fd_ >= 0; }
    void close();
    // Hands over at once every message the socket holds now (they precede whatever the caller
    // learnt from elsewhere after they were sent).
    void drain();

    // Whether a message of these parameters and descriptors can go on a channel.
    static bool fits(GVariant* params, std::size_t fdCount);

    // Longest message: a longer one is not sent and, read, closes the channel.
    static constexpr std::uint64_t kMaxMessageBytes = std::uint64_t(64) << 20;
    // Most descriptors of one message.
    static constexpr unsigned kMaxDescriptors = 200;
    // Most bytes waiting to be written: beyond it the peer is taken as gone and the end closes.
    static constexpr std::uint64_t kMaxQueuedBytes = std::uint64_t(1) << 30;

private:
    struct Outgoing {
        std::string head;            // header, name and type
        GVariant* body = nullptr;    // the serialised parameters, referenced
        std::vector<int> fds;        // copies, owned until passed
        std::size_t sent = 0;
    };
    static int onReadable(int fd, unsigned condition, void* self);
    static int onWritable(int fd, unsigned condition, void* self);
    bool flush();
    bool readAvailable();
    bool dispatchComplete();
    bool descriptorsAccountedFor() const;
    std::uint32_t announced(std::size_t at) const;
    void fail();
    static void release(Outgoing& o);

    int fd_ = -1;
    int priority_ = 0;
    Handler onMessage_;
    Closed onClosed_;
    GSource* readSource_ = nullptr;
    GSource* writeSource_ = nullptr;
    std::deque<Outgoing> out_;
    std::uint64_t queued_ = 0;  // bytes of out_ not yet written
    std::vector<char> in_;
    std::size_t inStart_ = 0, inEnd_ = 0;  // unread bytes of in_
    std::uint64_t consumed_ = 0;           // stream position of in_[inStart_]
    // Descriptors as one read brought them, with the stream positions the read covered.
    struct Batch {
        std::uint64_t from = 0, to = 0;
        std::vector<int> fds;
    };
    std::deque<Batch> inFds_;
    Lifetime<Channel> lifetime_{this};
};

}  // namespace platform::pagebridge
