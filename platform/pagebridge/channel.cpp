#include "platform/pagebridge/channel.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::pagebridge {

namespace {

// Ahead of every message, in the machine's byte order (both ends run on one machine).
struct WireHeader {
    std::uint32_t nameLength;
    std::uint32_t typeLength;
    std::uint32_t fdCount;
    std::uint32_t reserved;
    std::uint64_t dataLength;
};

constexpr std::size_t kMaxNameBytes = 256;
constexpr std::size_t kMaxTypeBytes = 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kKeptBuffer = 1024 * 1024;
// Reads of one turn of the main loop; the rest waits for the next (the socket stays readable).
constexpr int kReadsPerTurn = 16;

}  // namespace

Channel::Channel(int fd, int priority, Handler onMessage, Closed onClosed)
    : fd_(fd), priority_(priority), onMessage_(std::move(onMessage)), onClosed_(std::move(onClosed)) {
    if (fd_ < 0) return;
    g_unix_set_fd_nonblocking(fd_, TRUE, nullptr);
    readSource_ = g_unix_fd_source_new(fd_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
    g_source_set_priority(readSource_, priority_);
    g_source_set_callback(readSource_, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(&Channel::onReadable)),
                          this, nullptr);
    g_source_set_name(readSource_, "[kivano] bridge channel");
    g_autoptr(GMainContext) context = g_main_context_ref_thread_default();
    g_source_attach(readSource_, context);
}

Channel::~Channel() {
    lifetime_.end();
    close();
}

void Channel::release(Outgoing& o) {
    g_clear_pointer(&o.body, g_variant_unref);
    for (int f : o.fds) ::close(f);
    o.fds.clear();
}

void Channel::close() {
    for (GSource** s : {&readSource_, &writeSource_}) {
        if (*s) {
            g_source_destroy(*s);
            g_clear_pointer(s, g_source_unref);
        }
    }
    for (auto& o : out_) release(o);
    out_.clear();
    queued_ = 0;
    for (auto& b : inFds_)
        for (int f : b.fds) ::close(f);
    inFds_.clear();
    in_.clear();
    in_.shrink_to_fit();
    inStart_ = inEnd_ = 0;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Channel::fail() {
    close();
    // Told from a turn of its own: the owner may let the channel go then.
    struct Notice {
        Lifetime<Channel>::Token channel;
    };
    auto* notice = new Notice{lifetime_.token()};
    g_autoptr(GSource) idle = g_idle_source_new();
    g_source_set_priority(idle, priority_);
    g_source_set_callback(
        idle,
        [](gpointer p) -> gboolean {
            auto* n = static_cast<Notice*>(p);
            // A copy is called: the owner may let the channel go in it.
            if (Channel* channel = n->channel.get(); channel && channel->onClosed_) Closed(channel->onClosed_)();
            return G_SOURCE_REMOVE;
        },
        notice, [](gpointer p) { delete static_cast<Notice*>(p); });
    g_autoptr(GMainContext) context = g_main_context_ref_thread_default();
    g_source_attach(idle, context);
}

bool Channel::fits(GVariant* params, std::size_t fdCount) {
    return fdCount <= kMaxDescriptors && g_variant_get_size(params) <= kMaxMessageBytes &&
           std::strlen(g_variant_get_type_string(params)) <= kMaxTypeBytes;
}

bool Channel::send(const Encoded& message, const std::vector<int>& fds) {
    g_autoptr(GVariant) body = g_variant_ref_sink(message.params);
    const std::size_t nameLength = std::strlen(message.name);
    if (fd_ < 0 || nameLength > kMaxNameBytes || !fits(body, fds.size())) return false;
    const char* type = g_variant_get_type_string(body);
    const std::size_t typeLength = std::strlen(type);
    WireHeader h{static_cast<std::uint32_t>(nameLength), static_cast<std::uint32_t>(typeLength),
                 static_cast<std::uint32_t>(fds.size()), 0, static_cast<std::uint64_t>(g_variant_get_size(body))};
    Outgoing o;
    o.head.reserve(sizeof h + nameLength + typeLength);
    o.head.append(reinterpret_cast<const char*>(&h), sizeof h);
    o.head.append(message.name, nameLength);
    o.head.append(type, typeLength);
    o.body = g_steal_pointer(&body);
    for (int f : fds) {
        int copy = ::fcntl(f, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) {
            release(o);
            return false;
        }
        o.fds.push_back(copy);
    }
    queued_ += o.head.size() + h.dataLength;
    out_.push_back(std::move(o));
    if (queued_ > kMaxQueuedBytes || (out_.size() == 1 && !flush())) {
        fail();
        return false;
    }
    return true;
}

// Writes what the socket takes; false on an error.
bool Channel::flush() {
    while (!out_.empty()) {
        Outgoing& o = out_.front();
        const std::size_t headSize = o.head.size();
        const std::size_t bodySize = o.body ? g_variant_get_size(o.body) : 0;
        const char* bodyData = bodySize ? static_cast<const char*>(g_variant_get_data(o.body)) : nullptr;
        iovec iov[2];
        int count = 0;
        if (o.sent < headSize) {
            iov[count++] = {const_cast<char*>(o.head.data()) + o.sent, headSize - o.sent};
            if (bodySize) iov[count++] = {const_cast<char*>(bodyData), bodySize};
        } else {
            iov[count++] = {const_cast<char*>(bodyData) + (o.sent - headSize), bodySize - (o.sent - headSize)};
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<std::size_t>(count);
        // The descriptors go with the message's first byte.
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)];
        if (o.sent == 0 && !o.fds.empty()) {
            const std::size_t n = o.fds.size();
            const int* list = o.fds.data();
            msg.msg_control = control;
            msg.msg_controllen = CMSG_SPACE(sizeof(int) * static_cast<std::size_t>(n));
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * static_cast<std::size_t>(n));
            std::memcpy(CMSG_DATA(c), list, sizeof(int) * static_cast<std::size_t>(n));
        }
        ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (!writeSource_) {
                writeSource_ = g_unix_fd_source_new(fd_, G_IO_OUT);
                g_source_set_priority(writeSource_, priority_);
                g_source_set_callback(writeSource_,
                                      reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(&Channel::onWritable)),
                                      this, nullptr);
                g_autoptr(GMainContext) context = g_main_context_ref_thread_default();
                g_source_attach(writeSource_, context);
            }
            return true;
        }
        for (int f : o.fds) ::close(f);
        o.fds.clear();
        o.sent += static_cast<std::size_t>(n);
        queued_ -= static_cast<std::size_t>(n);
        if (o.sent >= headSize + bodySize) {
            release(o);
            out_.pop_front();
        }
    }
    if (writeSource_) {
        g_source_destroy(writeSource_);
        g_clear_pointer(&writeSource_, g_source_unref);
    }
    return true;
}

int Channel::onWritable(int, unsigned, void* self) {
    auto* c = static_cast<Channel*>(self);
    if (!c->flush()) {
        c->fail();
        return G_SOURCE_REMOVE;
    }
    // flush() removed the source once everything went.
    return c->writeSource_ ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

int Channel::onReadable(int, unsigned condition, void* self) {
    auto* c = static_cast<Channel*>(self);
    auto alive = c->lifetime_.token();
    if (condition & G_IO_IN) {
        c->readAvailable();
        if (!alive || c->fd_ < 0) return G_SOURCE_REMOVE;
        return G_SOURCE_CONTINUE;
    }
    c->fail();
    return G_SOURCE_REMOVE;
}

void Channel::drain() {
    auto alive = lifetime_.token();
    while (alive && fd_ >= 0 && readAvailable()) {
    }
}

// True when it stopped with more to read.
bool Channel::readAvailable() {
    auto alive = lifetime_.token();
    for (int turn = 0; turn < kReadsPerTurn; ++turn) {
        if (fd_ < 0) return false;
        // Unread bytes move to the buffer's front before it grows.
        if (inStart_ == inEnd_) {
            inStart_ = inEnd_ = 0;
            // What a large message needed is not kept.
            if (in_.size() > kKeptBuffer) std::vector<char>().swap(in_);
        } else if (inStart_ > 0 && in_.size() - inEnd_ < kReadChunk) {
            std::memmove(in_.data(), in_.data() + inStart_, inEnd_ - inStart_);
            inEnd_ -= inStart_;
            inStart_ = 0;
        }
        if (in_.size() - inEnd_ < kReadChunk) in_.resize(std::max(in_.size() * 2, inEnd_ + kReadChunk));
        iovec iov{in_.data() + inEnd_, in_.size() - inEnd_};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 253)];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        Batch batch;
        batch.from = consumed_ + (inEnd_ - inStart_);
        if (n > 0) inEnd_ += static_cast<std::size_t>(n);
        batch.to = consumed_ + (inEnd_ - inStart_);
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            const auto* fds = reinterpret_cast<const int*>(CMSG_DATA(c));
            batch.fds.insert(batch.fds.end(), fds, fds + count);
        }
        if (!batch.fds.empty()) inFds_.push_back(std::move(batch));
        if (n <= 0 || (msg.msg_flags & MSG_CTRUNC)) {
            fail();
            return false;
        }
        if (!dispatchComplete() || (alive && fd_ >= 0 && !descriptorsAccountedFor())) {
            if (alive && fd_ >= 0) fail();
            return false;
        }
        if (!alive) return false;
    }
    return true;
}

// A message's descriptors come with its first byte, and one read brings those of one message at
// most, the last message that begins in what it read. So the descriptors of a read belong to a
// message beginning within it; after the whole messages are handed over, only those of the
// message begun may wait, exactly as many as its header announces. Any others close the channel.
bool Channel::descriptorsAccountedFor() const {
    if (inFds_.empty()) return inEnd_ - inStart_ < sizeof(WireHeader) || announced(0) == 0;
    const Batch& b = inFds_.front();
    if (inFds_.size() > 1 || inEnd_ == inStart_ || b.from > consumed_ || b.to <= consumed_) return false;
    return inEnd_ - inStart_ < sizeof(WireHeader) || announced(0) == b.fds.size();
}

std::uint32_t Channel::announced(std::size_t at) const {
    WireHeader h;
    std::memcpy(&h, in_.data() + inStart_ + at, sizeof h);
    return h.fdCount;
}

// Hands over every whole message read; false when the channel went or a message is not readable.
bool Channel::dispatchComplete() {
    auto alive = lifetime_.token();
    while (inEnd_ - inStart_ >= sizeof(WireHeader)) {
        WireHeader h;
        std::memcpy(&h, in_.data() + inStart_, sizeof h);
        if (h.nameLength > kMaxNameBytes || h.typeLength == 0 || h.typeLength > kMaxTypeBytes ||
            h.fdCount > kMaxDescriptors || h.dataLength > kMaxMessageBytes) {
            return false;
        }
        const std::size_t total = sizeof h + h.nameLength + h.typeLength + static_cast<std::size_t>(h.dataLength);
        if (inEnd_ - inStart_ < total) {
            // Room for the rest of it.
            if (in_.size() < inStart_ + total) {
                std::memmove(in_.data(), in_.data() + inStart_, inEnd_ - inStart_);
                inEnd_ -= inStart_;
                inStart_ = 0;
                if (in_.size() < total + kReadChunk) in_.resize(total + kReadChunk);
            }
            return true;
        }
        // Its descriptors came with its first byte, so they are here by now, in the first batch
        // unless that batch belongs to a message further on in the same read.
        std::vector<int> list;
        const Batch* b = inFds_.empty() ? nullptr : &inFds_.front();
        if (b && b->to <= consumed_) return false;
        const bool ours = b && b->from <= consumed_;
        if (h.fdCount > 0) {
            if (!ours || b->fds.size() != h.fdCount) return false;
            list = std::move(inFds_.front().fds);
            inFds_.pop_front();
        } else if (ours && consumed_ + total >= b->to) {
            return false;
        }
        const char* p = in_.data() + inStart_ + sizeof h;
        std::string name(p, h.nameLength);
        std::string type(p + h.nameLength, h.typeLength);
        if (!g_variant_type_string_is_valid(type.c_str())) return false;
        g_autoptr(GBytes) bytes = g_bytes_new(p + h.nameLength + h.typeLength, static_cast<gsize>(h.dataLength));
        g_autoptr(GVariant) params =
            g_variant_ref_sink(g_variant_new_from_bytes(G_VARIANT_TYPE(type.c_str()), bytes, FALSE));
        ReceivedFds fds(std::move(list));
        inStart_ += total;
        consumed_ += total;
        if (onMessage_) onMessage_(name, params, fds);
        if (!alive) return false;
        if (fd_ < 0) return true;
    }
    return true;
}

}  // namespace platform::pagebridge
