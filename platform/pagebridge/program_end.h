// The program's end of the page bridge for one web view. It decides from what the program itself
// knows, the document its web view committed, which web process may talk to it; nothing a web
// process says about its documents counts.
//
// As the main frame commits a document of the application, the end makes a fresh random token and
// hands it to the page's web process through the engine (Engine::admit). The extension answers
// with the page's own channel and the token; the first channel presenting it is the document's
// one ordered path both ways, for calls and for everything the page is sent. Any other channel,
// a second one for the same document included, is refused and closed. When the committed
// document is not the application's, no token is made, nothing is read, and nothing goes out.
//
// States, changed in enter() only:
//   Shut     no document of the application is committed, or its channel or web process ended:
//            nothing is read, deliveries are dropped (their acknowledgements close).
//   Waiting  an application document is committed and admitted; deliveries wait, in order, for
//            its channel (up to a bound).
//   Open     the document's channel: calls are read from it, deliveries go through it.
//
// Deliveries that do not fit one message go as several, in order; a script longer than a message
// may be travels in a descriptor of its own.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pagebridge/channel.h"
#include "platform/pagebridge/wire.h"

namespace platform::pagebridge {

class ProgramEnd {
public:
    enum class State { Shut, Waiting, Open };

    // What the end needs of the web engine.
    class Engine {
    public:
        virtual ~Engine() = default;
        // Hands the message to the web process of the page shown now.
        virtual void admit(const Admit& message) = 0;
    };
    // The page's messages, as they come on the document's channel.
    using Receiver = std::function<void(const PageMessage& message)>;

    ProgramEnd(Engine& engine, Receiver receiver);
    ~ProgramEnd();
    ProgramEnd(const ProgramEnd&) = delete;
    ProgramEnd& operator=(const ProgramEnd&) = delete;

    // The main frame committed a document; `application` tells whether it is one of the
    // application's (decided by the caller from the committed URL). What the previous document's
    // channel holds is read first.
    void documentCommitted(bool application);
    // A web process announced a channel (the descriptor is taken).
    void channelAnnounced(ChannelOpen announcement);
    // The web process of the page ended.
    void webProcessEnded();

    // Scripts and bytes for the document, in order. Descriptors are borrowed: they are copied
    // before this returns.
    void deliver(std::vector<PageDelivery> items);
    // Has the web process write the bytes held under the token into `fd`, then the count into
    // `ackFd` (borrowed); without an open channel nothing is sent, and the caller's copies closing
    // end the wait.
    void writeHeld(const std::string& token, int fd, int ackFd);
    void releaseHeld(const std::string& token);

    State state() const { return state_; }

    // A script from this length on travels in a descriptor.
    static constexpr std::size_t kScriptInDescriptorBytes = 16u << 20;
    // A delivery message holds items up to about this many bytes of script; the rest follow.
    static constexpr std::size_t kDeliveryBytes = 32u << 20;
    // What may wait for the channel.
    static constexpr std::size_t kMaxWaitingBytes = 512u << 20;
    static constexpr std::size_t kMaxWaitingDescriptors = 512;

private:
    // A message made while Waiting, with copies of its descriptors.
    struct Queued {
        ProgramMessage message;
        std::size_t bytes = 0;
    };
    void enter(State next);
    void send(ProgramMessage message);
    void onMessage(const std::string& name, GVariant* params);
    void onClosed(std::uint64_t serial);
    void dropWaiting();

    Engine& engine_;
    Receiver receiver_;
    State state_ = State::Shut;
    std::string token_;
    std::unique_ptr<Channel> channel_;
    std::uint64_t channelSerial_ = 0;
    std::deque<Queued> waiting_;
    std::size_t waitingBytes_ = 0, waitingFds_ = 0;
    bool warnedFull_ = false;
};

// The page-world script (page_world.js, built in): a function expression that the extension calls
// in each application frame, before any script of its document, with the native entry object.
std::string_view pageWorldScript();

}  // namespace platform::pagebridge
