#include "companion/KVHTTPCommand.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/digest.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/pixbuf_image.h"
#include "platform/strings.h"
#include "platform/text_checks.h"

using platform::Bytes;
using platform::HttpErrorRef;
using platform::HttpResponse;
using platform::Value;

const char* const KVHTTPCommandErrorDomain = "com.kivano.KVHTTPCommandErrorDomain";

// ---- records and codes ----

KVHTTPHubstation::KVHTTPHubstation(std::string serialNo, std::optional<std::string> localURL,
                                   std::optional<std::string> remoteURL, std::string username, std::string password)
    : serialNo_(std::move(serialNo)), username_(std::move(username)), password_(std::move(password)) {
    if (localURL && platform::isURLText(*localURL)) localURL_ = std::move(localURL);
    if (remoteURL && platform::isURLText(*remoteURL)) remoteURL_ = std::move(remoteURL);
}

std::optional<KVHTTPReachMode> KVHTTPReachModeFromRaw(long raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<KVHTTPReachMode>(raw);
}

std::string KVHTTPCommandStateDescription(KVHTTPCommandState state) {
    switch (state) {
    case KVHTTPCommandState::Waiting: return "Waiting";
    case KVHTTPCommandState::Sent: return "Sent";
    case KVHTTPCommandState::Failed: return "Failed";
    case KVHTTPCommandState::Succeeded: return "Succeeded";
    case KVHTTPCommandState::Stopped: return "Stopped";
    }
    return "Unknown";
}

std::optional<KVHTTPCommandError> KVHTTPCommandErrorFromRaw(long raw) {
    switch (raw) {
    case -7777: return KVHTTPCommandError::InvalidHost;
    case -7779: return KVHTTPCommandError::NonMatchingSerialNumbers;
    case -7780: return KVHTTPCommandError::NotParsableResponse;
    default: return std::nullopt;
    }
}

std::string KVHTTPCommandErrorDescription(KVHTTPCommandError error) {
    switch (error) {
    case KVHTTPCommandError::InvalidHost: return "Invalid host! Please check your IP or URL.";
    case KVHTTPCommandError::NonMatchingSerialNumbers: return "Serialnumbers did not match.";
    case KVHTTPCommandError::NotParsableResponse: return "Hubstation response was not parsable.";
    }
    return {};
}

HttpErrorRef KVHTTPCommandMakeError(KVHTTPCommandError error) {
    return platform::makeHttpError(KVHTTPCommandErrorDomain, static_cast<long>(error),
                                   KVHTTPCommandErrorDescription(error));
}

KVHTTPResult KVHTTPResult::bytesOrAbsent(const std::optional<Bytes>& bytes) {
    if (!bytes) return absent();
    return of(platform::makeBytes(*bytes));
}

// ---- helpers ----

namespace {

std::string textOf(const Bytes& b) { return std::string(reinterpret_cast<const char*>(b.data()), b.size()); }

// An object whose members are all texts and that has the given members.
bool isTextObjectWith(const Value& v, std::initializer_list<const char*> members) {
    if (!v.is_object()) return false;
    for (const auto& [k, m] : v.items()) {
        if (!m.is_string()) return false;
    }
    for (const char* name : members) {
        if (!v.contains(name)) return false;
    }
    return true;
}

// The key answer's "snr" and "key", or absent when the answer does not have the envelope's shape.
struct KeyAnswer {
    std::string snr;
    std::string key;
};
std::optional<KeyAnswer> parseKeyAnswer(const Bytes& body) {
    auto envelope = platform::parseJson(textOf(body));
    if (!envelope || !envelope->is_object()) return std::nullopt;
    auto ll = envelope->find("LL");
    if (ll == envelope->end() || !isTextObjectWith(*ll, {"control", "value", "Code"})) return std::nullopt;
    std::string valueText = (*ll)["value"].get<std::string>();
    for (char& c : valueText) {
        if (c == '\'') c = '"';
    }
    auto value = platform::parseJson(valueText);
    if (!value || !isTextObjectWith(*value, {"snr", "version", "key"})) return std::nullopt;
    return KeyAnswer{(*value)["snr"].get<std::string>(), (*value)["key"].get<std::string>()};
}

}  // namespace

std::string KVHTTPCommand::validateCommand(const std::string& command) {
    if (!command.empty() && command[0] == '/') return command;
    return "/" + command;
}

std::optional<std::string> KVHTTPCommand::authenticationValue(const std::string& keyHex, const std::string& username,
                                                              const std::string& password) {
    // Pairs of characters (UTF-16 units), each read by strtoul as far as it holds hex digits.
    auto text = platform::utf16Units(keyHex);
    if (!text) return std::nullopt;
    const std::size_t units = text->size();
    std::string key;
    key.reserve(units / 2 + 1);
    auto ascii = [](char16_t u) { return u < 0x80 ? static_cast<char>(u) : '\x01'; };
    for (std::size_t i = 0; i < units; i += 2) {
        char pair[3] = {ascii((*text)[i]), i + 1 < units ? ascii((*text)[i + 1]) : '\0', '\0'};
        unsigned long v = std::strtoul(pair, nullptr, 16);
        key.push_back(static_cast<char>(v & 0xFF));
    }
    if (!platform::isUTF8(key.data(), key.size())) return std::nullopt;

    std::string digest = platform::hmacSha1(key, username + ":" + password);
    std::string hex;
    hex.reserve(40);
    char buf[3];
    for (unsigned char byte : digest) {
        std::snprintf(buf, sizeof buf, "%02lx", static_cast<unsigned long>(byte));
        hex += buf;
    }
    return hex;
}

// ---- command ----

std::shared_ptr<KVHTTPCommand> KVHTTPCommand::create(const std::string& command, KVHTTPHubstation hubstation,
                                                     KVHTTPReachMode preferedReachMode, Callback callback) {
    return std::make_shared<KVHTTPCommand>(Passkey{}, command, std::move(hubstation), preferedReachMode,
                                           std::move(callback));
}

KVHTTPCommand::KVHTTPCommand(Passkey, const std::string& command, KVHTTPHubstation hubstation,
                             KVHTTPReachMode preferedReachMode, Callback callback)
    : command_(validateCommand(command)),
      hubstation_(std::move(hubstation)),
      preferedReachMode_(preferedReachMode),
      callback_(std::move(callback)) {
    if (hubstation_.localURL()) {
        platform::HttpSessionConfiguration c;
        c.allowsCellularAccess = false;
        c.resourceTimeout = resourceTimeout_;
        c.maximumBodyBytes = kMaxAnswerBytes;
        intRequest_ = platform::HttpSession::create(c);
        localState_ = KVHTTPCommandState::Waiting;
    }
    if (hubstation_.remoteURL()) {
        platform::HttpSessionConfiguration c;
        c.resourceTimeout = resourceTimeout_;
        c.maximumBodyBytes = kMaxAnswerBytes;
        extRequest_ = platform::HttpSession::create(c);
        remoteState_ = KVHTTPCommandState::Waiting;
    }
}

void KVHTTPCommand::setResourceTimeout(double seconds) {
    resourceTimeout_ = seconds;
    if (intRequest_) intRequest_->setResourceTimeout(seconds);
    if (extRequest_) extRequest_->setResourceTimeout(seconds);
}

void KVHTTPCommand::send() {
    if (sendCalled_) {
        platform::logf("KVHTTPCommand %s: send() called again, ignored", command_);
        return;
    }
    sendCalled_ = true;
    if (delivered_) return;  // stopped before it was sent
    auto keep = shared_from_this();

    // A path is marked Sent before it starts, so a failure found while starting it is not
    // overwritten, and a path already started as fallback is not started again.
    auto startIfWaiting = [this](bool local) {
        if (state(local) != KVHTTPCommandState::Waiting || started(local)) return false;
        state(local) = KVHTTPCommandState::Sent;
        startRequest(local);
        return true;
    };
    switch (preferedReachMode_) {
    case KVHTTPReachMode::Remote:
        if (!startIfWaiting(false)) startIfWaiting(true);
        break;
    case KVHTTPReachMode::Local:
        if (!startIfWaiting(true)) startIfWaiting(false);
        break;
    case KVHTTPReachMode::None:
        startIfWaiting(true);
        startIfWaiting(false);
        break;
    }
    if (localStarted_ || remoteStarted_) return;

    HttpErrorRef error = KVHTTPCommandMakeError(KVHTTPCommandError::InvalidHost);
    delivered_ = true;
    if (auto cb = callback_) cb(KVHTTPResult::absent(), false, error, error, nullptr);
}

void KVHTTPCommand::stop() {
    std::fputs("stop it from outside\n", stdout);
    std::fflush(stdout);
    delivered_ = true;  // nothing is reported after this
    for (bool local : {true, false}) {
        if (state(local) == KVHTTPCommandState::Waiting || state(local) == KVHTTPCommandState::Sent) {
            cancelPath(local);
            state(local) = KVHTTPCommandState::Stopped;
        }
    }
}

void KVHTTPCommand::cancelPath(bool local) {
    if (auto& s = session(local)) s->invalidateAndCancel();
}

void KVHTTPCommand::startRequest(bool local) {
    started(local) = true;
    const auto& address = local ? hubstation_.localURL() : hubstation_.remoteURL();
    std::string url = address ? "http://" + *address + "/jdev/cfg/apiKey" : std::string();
    if (!address || !session(local) || !platform::httpURLParses(url)) return failInvalidHost(local);
    fetch(local, url, &KVHTTPCommand::handleResponseFromHashURL);
}

void KVHTTPCommand::fetch(bool local, const std::string& url, AnswerStep step) {
    auto self = shared_from_this();
    session(local)->get(url, [self, local, step](std::optional<Bytes> body, std::optional<HttpResponse> response,
                                                 HttpErrorRef error) {
        // An answer longer than any the controller gives was not read to its end.
        if (error && error->domain == platform::kNSURLErrorDomain &&
            error->code == platform::kURLErrorDataLengthExceedsMaximum) {
            error = KVHTTPCommandMakeError(KVHTTPCommandError::NotParsableResponse);
        }
        platform::dispatchMain([self, local, step, body = std::move(body), response = std::move(response),
                                error = std::move(error)] {
            if (self->state(local) == KVHTTPCommandState::Stopped) return;
            ((*self).*step)(local, body, response, error);
        });
    });
}

void KVHTTPCommand::failInvalidHost(bool local) {
    handleResultOrError(false, local, KVHTTPResult::absent(), std::nullopt,
                        KVHTTPCommandMakeError(KVHTTPCommandError::InvalidHost), nullptr);
}

void KVHTTPCommand::handleResponseFromHashURL(bool local, const std::optional<Bytes>& data,
                                              const std::optional<HttpResponse>& urlResponse,
                                              const HttpErrorRef& error) {
    started(local) = true;  // a key answer came, so its request was made
    if (error) {
        handleResultOrError(false, local, KVHTTPResult::bytesOrAbsent(data), urlResponse, error, nullptr);
        return;
    }
    // The command goes to the host and port that finally answered, after redirects.
    std::string address = (local ? hubstation_.localURL() : hubstation_.remoteURL()).value_or("");
    if (urlResponse && !urlResponse->host.empty()) {
        address = platform::hostForURL(urlResponse->host);
        if (urlResponse->port >= 0) address += ":" + std::to_string(urlResponse->port);
    }

    std::optional<KVHTTPCommandError> failure;
    std::optional<std::string> hash;
    if (!data) {
        failure = KVHTTPCommandError::NotParsableResponse;
    } else if (auto answer = parseKeyAnswer(*data); !answer) {
        failure = KVHTTPCommandError::NotParsableResponse;
    } else {
        std::string snr;
        for (char c : answer->snr) {
            if (c != ':') snr += c;
        }
        if (snr != hubstation_.serialNo()) {
            failure = KVHTTPCommandError::NonMatchingSerialNumbers;
        } else if (!(hash = authenticationValue(answer->key, hubstation_.username(), hubstation_.password()))) {
            failure = KVHTTPCommandError::NotParsableResponse;  // key bytes are no UTF-8
        }
    }
    if (failure) {
        handleResultOrError(false, local, KVHTTPResult::bytesOrAbsent(data), urlResponse,
                            KVHTTPCommandMakeError(*failure), nullptr);
        return;
    }
    claimCommand(local, address, *hash);
}

void KVHTTPCommand::claimCommand(bool local, const std::string& address, const std::string& hashValue) {
    if (commandPath_ && *commandPath_ != local) {
        held(local) = HeldCommand{address, hashValue};
        return;
    }
    commandPath_ = local;
    sendCommand(local, address, hashValue);
}

void KVHTTPCommand::sendCommand(bool local, const std::string& address, const std::string& hashValue) {
    std::string url = "http://" + address + command_ + "?auth=" + hashValue;
    if (!session(local) || session(local)->isInvalidated() || !platform::httpURLParses(url)) {
        commandMayHaveReached_ = false;
        return failInvalidHost(local);
    }
    fetch(local, url, &KVHTTPCommand::handleResponseFromCommandURL);
}

void KVHTTPCommand::releaseCommand(bool local) {
    commandPath_.reset();
    if (commandMayHaveReached_) {
        endPath(!local);
        return;
    }
    if (auto h = std::exchange(held(!local), std::nullopt)) {
        commandPath_ = !local;
        sendCommand(!local, h->address, h->hashValue);
    }
}

void KVHTTPCommand::endPath(bool local) {
    held(local).reset();
    if (state(local) == KVHTTPCommandState::Waiting || state(local) == KVHTTPCommandState::Sent) {
        cancelPath(local);
        state(local) = KVHTTPCommandState::Stopped;
    }
}

void KVHTTPCommand::handleResponseFromCommandURL(bool local, const std::optional<Bytes>& data,
                                                 const std::optional<HttpResponse>& urlResponse,
                                                 const HttpErrorRef& error) {
    auto fail = [&](const HttpErrorRef& e) {
        handleResultOrError(false, local, KVHTTPResult::bytesOrAbsent(data), urlResponse, e, nullptr);
    };
    // An answer came, or the request was written out: the controller may have acted on it.
    commandMayHaveReached_ = urlResponse.has_value() || (error && error->requestWritten);
    if (error) return fail(error);
    if (!urlResponse || !data) return fail(KVHTTPCommandMakeError(KVHTTPCommandError::NotParsableResponse));
    int status = urlResponse->statusCode;
    if (status < 200 || status > 298) {
        return fail(platform::makeHttpError(KVHTTPCommandErrorDomain, status, platform::httpStatusText(status)));
    }

    Value userInfo = Value::object();
    const auto& mime = urlResponse->mimeType;
    if (mime) userInfo["contentType"] = *mime;
    userInfo["statusCode"] = status;
    userInfo["reachMode"] = static_cast<int>(local ? KVHTTPReachMode::Local : KVHTTPReachMode::Remote);

    KVHTTPResult result = KVHTTPResult::of(platform::makeBytes(*data));
    if (mime) {
        auto slash = mime->find('/');
        if (slash == std::string::npos) return fail(KVHTTPCommandMakeError(KVHTTPCommandError::NotParsableResponse));
        std::string type = mime->substr(0, slash);
        std::string rest = mime->substr(slash + 1);
        std::string subtype = rest.substr(0, rest.find('/'));
        if (type == "text" || subtype == "svg+xml") {
            std::string text = textOf(*data);
            result = KVHTTPResult::of(platform::isUTF8(text) ? Value(std::move(text)) : Value(nullptr));
        } else if (subtype == "json") {
            if (auto json = platform::parseJson(textOf(*data))) {
                result = KVHTTPResult::of(std::move(*json));
            } else {
                std::fputs("Could not parse JSON response, returning binary data!\n", stdout);
                std::fflush(stdout);
            }
        } else if (type == "image" && decodesImages_) {
            return decodeImageAnswer(local, *data, urlResponse, std::move(userInfo));
        }
    }
    handleResultOrError(true, local, result, urlResponse, nullptr, userInfo);
}

void KVHTTPCommand::decodeImageAnswer(bool local, Bytes data, const std::optional<HttpResponse>& urlResponse,
                                      Value userInfo) {
    auto self = shared_from_this();
    platform::dispatchBackground([self, local, data = std::move(data), urlResponse,
                                  userInfo = std::move(userInfo)]() mutable {
        auto image = platform::PixbufImage::decode(data);
        platform::dispatchMain([self, local, data = std::move(data), image = std::move(image), urlResponse,
                                userInfo = std::move(userInfo)] {
            if (self->state(local) == KVHTTPCommandState::Stopped) return;
            // The bytes when no image could be decoded or the picture is too large.
            KVHTTPResult result = image ? KVHTTPResult{KVHTTPResult::Kind::Image, nullptr, image}
                                        : KVHTTPResult::of(platform::makeBytes(data));
            self->handleResultOrError(true, local, result, urlResponse, nullptr, userInfo);
        });
    });
}

void KVHTTPCommand::handleResultOrError(bool success, bool local, const KVHTTPResult& data,
                                        const std::optional<HttpResponse>& urlResponse, const HttpErrorRef& error,
                                        const Value& userInfo) {
    if (state(local) != KVHTTPCommandState::Stopped) {
        state(local) = error ? KVHTTPCommandState::Failed : KVHTTPCommandState::Succeeded;
    }
    if (error) {
        // The error is kept before the fallback starts, so a fallback that fails at once reports both.
        errorOf(local) = error;
        if (commandPath_ == local) releaseCommand(local);
        if (state(!local) == KVHTTPCommandState::Waiting && !started(!local)) startRequest(!local);
        dispatchResultOrError(local, data, urlResponse, error, userInfo);
        return;
    }
    dispatchResultOrError(local, data, urlResponse, error, userInfo);
    bool otherRunning = state(!local) == KVHTTPCommandState::Sent ||
                        (state(!local) == KVHTTPCommandState::Waiting && started(!local));
    if (otherRunning) {
        cancelPath(!local);
        state(!local) = KVHTTPCommandState::Stopped;
    }
}

void KVHTTPCommand::dispatchResultOrError(bool local, const KVHTTPResult& data,
                                          const std::optional<HttpResponse>& urlResponse, const HttpErrorRef& error,
                                          const Value& userInfo) {
    errorOf(local) = error;
    if (!error) {
        if (localState_ == KVHTTPCommandState::Succeeded && remoteState_ == KVHTTPCommandState::Succeeded) return;
        deliver(data, true, userInfo);
        return;
    }
    KVHTTPCommandState other = state(!local);
    if (other != KVHTTPCommandState::Failed && other != KVHTTPCommandState::Stopped) return;
    if (localState_ == KVHTTPCommandState::Stopped && remoteState_ == KVHTTPCommandState::Stopped) return;
    deliver(data, false, nullptr);
}

void KVHTTPCommand::deliver(const KVHTTPResult& data, bool success, const Value& userInfo) {
    if (delivered_) return;
    delivered_ = true;
    if (auto cb = callback_) cb(data, success, localError_, remoteError_, userInfo);
}
