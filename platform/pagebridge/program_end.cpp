#include "platform/pagebridge/program_end.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fd_io.h"
#include "platform/log.h"
#include "platform/pagebridge/page_world_script.h"

namespace platform::pagebridge {

namespace {

int copyOf(int fd) { return fd >= 0 ? duplicateDescriptor(fd) : -1; }

// The script's UTF-8 text in a sealed memory file of its own; -1 when none can be made.
int scriptDescriptor(const std::string& script, std::uint64_t& length) {
    std::string valid;
    const std::string* text = &script;
    if (!g_utf8_validate(script.data(), static_cast<gssize>(script.size()), nullptr)) {
        g_autofree char* fixed = g_utf8_make_valid(script.data(), static_cast<gssize>(script.size()));
        valid = fixed;
        text = &valid;
    }
    int fd = sealedMemoryFile("kivano-page-script", text->data(), text->size());
    if (fd < 0) return -1;
    length = text->size();
    return fd;
}

std::size_t descriptorsOf(const ProgramMessage& message) {
    std::size_t n = 0;
    if (const auto* d = std::get_if<Delivery>(&message)) {
        for (const auto& item : d->items) n += std::holds_alternative<PageBytes>(item) ? 2 : std::holds_alternative<ScriptInDescriptor>(item);
    } else if (std::holds_alternative<WriteHeld>(message)) {
        n = 2;
    }
    return n;
}

}  // namespace

ProgramEnd::ProgramEnd(Engine& engine, Receiver receiver) : engine_(engine), receiver_(std::move(receiver)) {}

ProgramEnd::~ProgramEnd() {
    channel_.reset();
    dropWaiting();
}

void ProgramEnd::enter(State next) {
    if (next != State::Open) {
        channel_.reset();
        dropWaiting();
        token_.clear();
    }
    state_ = next;
    switch (next) {
        case State::Shut:
            break;
        case State::Waiting:
            warnedFull_ = false;
            token_ = newToken();
            if (token_.empty()) {
                logLine("Page bridge: no random token for the page's channel");
                state_ = State::Shut;
                return;
            }
            engine_.admit({token_});
            break;
        case State::Open:
            // What waited goes first, in order.
            while (!waiting_.empty() && state_ == State::Open) {
                ProgramMessage message = std::move(waiting_.front().message);
                waitingBytes_ -= waiting_.front().bytes;
                waitingFds_ -= descriptorsOf(message);
                waiting_.pop_front();
                send(std::move(message));
            }
            break;
    }
}

void ProgramEnd::documentCommitted(bool application) {
    // What the previous document sent before this one came is handled first.
    if (channel_) channel_->drain();
    enter(application ? State::Waiting : State::Shut);
}

void ProgramEnd::channelAnnounced(ChannelOpen announcement) {
    const char* refused = nullptr;
    if (announcement.fd < 0) {
        refused = "no descriptor";
    } else if (state_ == State::Shut) {
        refused = "the page shows no document of the application";
    } else if (state_ == State::Open) {
        refused = "the document has its channel";
    } else if (announcement.token != token_) {
        refused = "not the document's token";
    }
    if (refused) {
        closeQuietly(announcement.fd);
        logf("Page bridge channel refused: %s", refused);
        return;
    }
    // The closing notice names the channel it is for, so a late one of an old channel is ignored.
    const std::uint64_t serial = ++channelSerial_;
    channel_ = std::make_unique<Channel>(
        announcement.fd, G_PRIORITY_DEFAULT,
        [this](const std::string& name, GVariant* params, ReceivedFds&) { onMessage(name, params); },
        [this, serial] { onClosed(serial); });
    enter(State::Open);
}

void ProgramEnd::webProcessEnded() { enter(State::Shut); }

void ProgramEnd::onMessage(const std::string& name, GVariant* params) {
    if (state_ != State::Open) return;
    auto message = decodePageMessage(name, params);
    if (!message) {
        logf("Page bridge message \"%s\" not understood", name);
        return;
    }
    receiver_(*message);
}

void ProgramEnd::onClosed(std::uint64_t serial) {
    if (!channel_ || serial != channelSerial_) return;
    enter(State::Shut);
}

void ProgramEnd::dropWaiting() {
    for (auto& w : waiting_) closeDescriptors(w.message);
    waiting_.clear();
    waitingBytes_ = waitingFds_ = 0;
}

void ProgramEnd::send(ProgramMessage message) {
    switch (state_) {
        case State::Shut:
            break;
        case State::Waiting: {
            std::size_t bytes = 0;
            if (const auto* d = std::get_if<Delivery>(&message)) {
                for (const auto& item : d->items) {
                    if (const auto* s = std::get_if<Script>(&item)) bytes += s->text.size();
                }
            }
            const std::size_t fds = descriptorsOf(message);
            if (waitingBytes_ + bytes > kMaxWaitingBytes || waitingFds_ + fds > kMaxWaitingDescriptors) {
                if (!warnedFull_) logLine("Page bridge: the page's channel is not open yet; deliveries beyond the bound are dropped");
                warnedFull_ = true;
                break;
            }
            waitingBytes_ += bytes;
            waitingFds_ += fds;
            waiting_.push_back({std::move(message), bytes});
            return;
        }
        case State::Open: {
            OutgoingFds fds;
            Encoded encoded = encode(message, fds);
            if (!channel_->send(encoded, fds.fds)) logLine("Page bridge: a delivery could not go on the page's channel");
            break;
        }
    }
    closeDescriptors(message);
}

void ProgramEnd::deliver(std::vector<PageDelivery> items) {
    if (state_ == State::Shut || items.empty()) return;
    Delivery delivery;
    std::size_t bytes = 0, fds = 0;
    auto end = [&] {
        if (delivery.items.empty()) return;
        send(std::move(delivery));
        delivery = {};
        bytes = fds = 0;
    };
    for (auto& item : items) {
        if (item.bytes) {
            if (fds + 2 > Channel::kMaxDescriptors) end();
            PageBytes b = std::move(*item.bytes);
            b.fd = copyOf(b.fd);
            b.ackFd = copyOf(b.ackFd);
            delivery.items.push_back(std::move(b));
            fds += 2;
        } else if (item.script.size() >= kScriptInDescriptorBytes) {
            std::uint64_t length = 0;
            int fd = scriptDescriptor(item.script, length);
            if (fd < 0) {
                logf("Page bridge: no memory file for a script of %zu bytes", item.script.size());
                continue;
            }
            if (fds + 1 > Channel::kMaxDescriptors) end();
            delivery.items.push_back(ScriptInDescriptor{fd, length});
            fds += 1;
        } else {
            if (bytes + item.script.size() > kDeliveryBytes) end();
            bytes += item.script.size();
            delivery.items.push_back(Script{std::move(item.script)});
        }
    }
    end();
}

std::string_view pageWorldScript() { return kPageWorldScript; }

void ProgramEnd::writeHeld(const std::string& token, int fd, int ackFd) {
    if (state_ != State::Open) return;
    send(WriteHeld{token, copyOf(fd), copyOf(ackFd)});
}

void ProgramEnd::releaseHeld(const std::string& token) {
    if (state_ != State::Open) return;
    send(ReleaseHeld{token});
}

}  // namespace platform::pagebridge
