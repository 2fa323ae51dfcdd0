// One end of the page bridge's own channel between the application and its web-process
// extension: messages of a name, a GVariant and descriptors over a stream socket of a socket
// pair, read and written from the default main context of the thread that made the end. A
// message goes straight from the sending thread to the receiving process's main loop, where the
// engine's messages take a turn through each side's I/O thread as well.
//
// Nothing blocks: what the socket does not take at once waits, in order, until it does. The end
// closes (and says so once) when the peer closes, on an error or on a message it cannot read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _GSource GSource;
typedef struct _GVariant GVariant;
typedef struct _GUnixFDList GUnixFDList;

namespace platform {

class BridgeChannel {
public:
    // `fds` is absent when the message carries none; both are the handler's for the call only.
    using Handler = std::function<void(const std::string& name, GVariant* params, GUnixFDList* fds)>;
    using Closed = std::function<void()>;

    // Takes `fd`, one end of a stream socket pair; its messages go to `onMessage` from sources of
    // the given priority.
    BridgeChannel(int fd, int priority, Handler onMessage, Closed onClosed);
    ~BridgeChannel();
    BridgeChannel(const BridgeChannel&) = delete;
    BridgeChannel& operator=(const BridgeChannel&) = delete;

    // Sends the message (a floating `params` is taken); the descriptors of `fds` are passed as
    // copies. False when the channel is closed or the message cannot go (too many descriptors, too
    // long).
    bool send(const std::string& name, GVariant* params, GUnixFDList* fds = nullptr);
    bool isOpen() const { return fd_ >= 0; }
    void close();
    // Hands over at once every message the socket holds now (they precede whatever the caller
    // learnt from elsewhere after they were sent).
    void drain();

    // Longest message: a longer one is not sent (the caller takes another way) and, read, closes
    // the channel. Above the page's own limit on what it sends.
    static constexpr std::uint64_t kMaxMessageBytes = std::uint64_t(64) << 20;
    // Most descriptors of one message.
    static constexpr unsigned kMaxDescriptors = 200;

private:
    struct Outgoing {
        std::string head;            // header, name and type
        GVariant* body = nullptr;    // the serialised parameters, referenced
        GUnixFDList* fds = nullptr;  // referenced until passed
        std::size_t sent = 0;
    };
    static int onReadable(int fd, unsigned condition, void* self);
    static int onWritable(int fd, unsigned condition, void* self);
    bool flush();
    bool readAvailable();
    bool dispatchComplete();
    void fail();
    static void release(Outgoing& o);

    int fd_ = -1;
    int priority_ = 0;
    Handler onMessage_;
    Closed onClosed_;
    GSource* readSource_ = nullptr;
    GSource* writeSource_ = nullptr;
    std::deque<Outgoing> out_;
    std::vector<char> in_;
    std::size_t inStart_ = 0, inEnd_ = 0;  // unread bytes of in_
    std::deque<int> inFds_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace platform
