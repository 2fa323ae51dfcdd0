#include "media/VideoProxy.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "bridge/WHCommandDelegate.h"
#include "bridge/WHOutOfBandBytes.h"
#include "media/StreamLimits.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/strings.h"

WH_REGISTER_PLUGIN(VideoProxy);

namespace {

constexpr std::uint8_t kStartMarker[2] = {0xFF, 0xD8};
constexpr std::uint8_t kEndMarker[2] = {0xFF, 0xD9};

// Position of the first start marker at or after `from`, or npos.
std::size_t findStart(const Bytes& b, std::size_t from) {
    if (b.size() < 2) return std::string::npos;
    for (std::size_t i = from; i + 1 < b.size(); ++i)
        if (b[i] == kStartMarker[0] && b[i + 1] == kStartMarker[1]) return i;
    return std::string::npos;
}

// Position of the last end marker that begins at or after `from`, or npos.
std::size_t findLastEnd(const Bytes& b, std::size_t from) {
    if (b.size() < 2) return std::string::npos;
    for (std::size_t i = b.size() - 1; i-- > from;)
        if (b[i] == kEndMarker[0] && b[i + 1] == kEndMarker[1]) return i;
    return std::string::npos;
}

// Percent-escapes what may not stand in a URL (UTF-8 bytes included); valid escapes are kept.
std::string escapeURLText(const std::string& text) {
    static const char* kAllowed = "-._~:/?#[]@!$&'()*+,;=";
    static const char* kHex = "0123456789ABCDEF";
    auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        bool keep = std::isalnum(c) || (c != 0 && std::strchr(kAllowed, static_cast<char>(c)));
        if (c == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2]))
            keep = true;
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

}  // namespace

VideoProxy::~VideoProxy() {
    {
        std::lock_guard lock(liveness_->mutex);
        liveness_->self = nullptr;
    }
    std::shared_ptr<platform::StreamSession> queue;
    {
        std::lock_guard lock(mutex_);
        cancelled = true;
        if (_conn) _conn->cancel();
        _conn.reset();
        queue = std::move(_queue);
    }
    queue.reset();  // waits for an event still running on the session thread
}

const WHPlugin::ActionTable& VideoProxy::actions() const {
    static const ActionTable t{
        WH_ACTION(VideoProxy, startStream),
        WH_ACTION(VideoProxy, stopStream),
        WH_ACTION(VideoProxy, imageProcessed),
    };
    return t;
}

void VideoProxy::ensureQueue() {
    if (!_queue) _queue = platform::StreamSession::create("VideoProxy");
}

void VideoProxy::pluginInitialize() {
    {
        std::lock_guard lock(mutex_);
        ensureQueue();
        _receivedData = Bytes{};
        _dispatchCount = 0;
        _readStartRetrys = 0;
        _dispatchedBytes = 0;
        _dispatchedFrames = 0;
        cancelled = false;
        fpsLimit = media::kStreamFramesPerSecond;
        bpsLimit = media::kStreamBytesPerSecond;
        fpsDeltaMs = 1.0 / media::kStreamFramesPerSecond;
    }
    WHPlugin::pluginInitialize();
}

void VideoProxy::setTimeoutInterval(double seconds) {
    std::lock_guard lock(mutex_);
    timeoutInterval_ = seconds;
}

std::optional<std::string> VideoProxy::createErrorInfoWithId(const std::string& errorId, std::int32_t code,
                                                             const std::string& text) {
    Value info = Value::object();
    info["errorId"] = errorId;
    info["errorCode"] = code;
    info["errorText"] = text;
    try {
        return platform::toJson(info);
    } catch (const std::exception& e) {
        platform::logf(platform::LogLevel::Error, "Error creating JSON: %s", std::string(e.what()));
        return std::nullopt;
    }
}

// ---- actions ----

void VideoProxy::startStream(const WHInvokedUrlCommand& command) {
    auto refuse = [&](const std::string& errorId, std::int32_t code, const std::string& text) {
        auto report = createErrorInfoWithId(errorId, code, text);
        auto result = report ? WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, *report)
                             : WHPluginResult::resultWithStatus(WHCommandStatus_ERROR);
        commandDelegate()->sendPluginResult(result, command.callbackId());
    };
    const Value& args = command.arguments();
    auto at = [&](std::size_t i) -> Value { return args.is_array() && i < args.size() ? args[i] : Value(nullptr); };
    Value url = at(0), usr = at(1), pwd = at(2), mjpeg = at(3);
    if (!url.is_string() || url.get<std::string>().empty()) {
        return refuse("InvalidArgument", 0, "The camera URL is missing.");
    }
    if (!(usr.is_null() || usr.is_string()) || !(pwd.is_null() || pwd.is_string())) {
        return refuse("InvalidArgument", 0, "User name and password must be texts.");
    }
    if (!(mjpeg.is_null() || mjpeg.is_boolean())) {
        return refuse("InvalidArgument", 0, "The stream mode must be a Boolean.");
    }
    std::string escaped = escapeURLText(url.get<std::string>());
    if (!platform::httpURLParses(escaped)) {
        return refuse("HttpError", static_cast<std::int32_t>(platform::kURLErrorBadURL), "unsupported URL");
    }

    {
        std::lock_guard lock(mutex_);
        cancelled = false;
        _initialResponseReceived = false;
        _startDetected = false;
        _url = escaped;
        _usr = usr.is_string() ? usr.get<std::string>() : std::string();
        _pwd = pwd.is_string() ? pwd.get<std::string>() : std::string();
        _isMJPEG = mjpeg.is_boolean() ? mjpeg.get<bool>() : true;
        _dispatchedBytes = 0;
        _dispatchedFrames = 0;
        _dispatchCount = 0;
        _startDate.reset();
        _receivedData = Bytes{};
        failed_ = false;
        _callbackId = command.callbackId();
    }
    {
        std::lock_guard lock(liveness_->mutex);
        liveness_->self = this;
    }
    std::weak_ptr<Liveness> weak = liveness_;
    auto job = [weak] {
        auto live = weak.lock();
        if (!live) return;
        std::lock_guard lock(live->mutex);
        if (live->self) live->self->fetchImage();
    };
    if (commandDelegate()) {
        commandDelegate()->runInBackground(job);
    } else {
        platform::dispatchBackground(job);
    }
}

void VideoProxy::stopStream(const WHInvokedUrlCommand& command) {
    closeStream();
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatusMessageAsBool(WHCommandStatus_OK, true),
                                        command.callbackId());
}

// The page that held the stream's callback is gone: the stream closes as stopStream closes it.
void VideoProxy::onReset() { closeStream(); }

void VideoProxy::closeStream() {
    std::lock_guard lock(mutex_);
    cancelled = true;
    if (_callbackId && commandDelegate()) {
        commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatusMessageAsBool(WHCommandStatus_OK, true),
                                            _callbackId);
    }
    _callbackId.reset();
    _dispatchCount = 0;
    _dispatchedBytes = 0;
    _dispatchedFrames = 0;
    _startDate.reset();
    _receivedData = Bytes{};
    _startDetected = false;
    if (_queue) _queue->cancelAllStreams();
    if (_conn) _conn->cancel();
    _conn.reset();
}

void VideoProxy::imageProcessed(const WHInvokedUrlCommand&) {}

// ---- request ----

void VideoProxy::fetchImage() {
    std::lock_guard lock(mutex_);
    fetchImageLocked();
}

void VideoProxy::fetchImageLocked() {
    if (_conn) _conn->cancel();
    _conn.reset();
    if (cancelled || failed_) return;
    _readStartRetrys = 0;
    receivedAnyData_ = false;
    ensureQueue();
    _conn = _queue->streamWithURL(_url, timeoutInterval_, this);
    _conn->start();
}

// ---- connection events ----

void VideoProxy::didReceiveResponse(platform::HttpStream& stream, const platform::HttpResponse& response) {
    std::lock_guard lock(mutex_);
    if (!isCurrent(stream)) return;
    std::string mime = response.mimeType.value_or("");
    if (!_initialResponseReceived) {
        std::string type = platform::asciiLower(mime);
        bool isMJPEG = type == "multipart/x-mixed-replace";  // media types ignore letter case
        if (isMJPEG != _isMJPEG)
            platform::logf(platform::LogLevel::Warning, "   WARNING: We're dealing with '%s' instead of '%s'", mime,
                           std::string(_isMJPEG ? "MJPG" : "regular JPGs"));
        _isMJPEG = isMJPEG;
        _initialResponseReceived = true;
    }
    // Every response (one per part of a multipart stream) begins a new frame.
    if (_receivedData) _receivedData->clear();
    _startDetected = false;
    if (response.statusCode >= 400) {
        dispatchError(createErrorInfoWithId("HttpError", response.statusCode,
                                            platform::httpStatusText(response.statusCode)));
    }
}

void VideoProxy::didReceiveData(platform::HttpStream& stream, const Bytes& data) {
    std::lock_guard lock(mutex_);
    if (!isCurrent(stream)) return;
    if (!_receivedData) {
        platform::logLine(platform::LogLevel::Warning, "VideoProxy did receive data while not expecting some!");
        return;
    }
    if (data.empty()) return;
    receivedAnyData_ = true;
    Bytes& buffer = *_receivedData;
    std::size_t previous = buffer.size();
    buffer.insert(buffer.end(), data.begin(), data.end());

    std::size_t endFrom = previous >= 2 ? previous - 2 : 0;
    if (!_startDetected) {
        // From the last byte before this chunk on, so that a marker cut in two is found.
        std::size_t from = previous > 0 ? previous - 1 : 0;
        std::size_t p = findStart(buffer, from);
        if (p != std::string::npos) {
            _readStartRetrys = 0;
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(p));
            _startDetected = true;
            endFrom = 2;
        } else {
            bool halfMarker = buffer.back() == kStartMarker[0];
            if (data.size() == 1 && halfMarker) {  // nothing but the first half of a marker yet
                buffer.assign(1, kStartMarker[0]);
                return;
            }
            if (_dispatchCount == 0) {
                platform::logLine(platform::LogLevel::Error, "ERROR: Cannot find start of image!");
                dispatchError(createErrorInfoWithId("StreamError", 0, "Cannot split stream into images!"));
                return;
            }
            _readStartRetrys += 1;
            if (_readStartRetrys != 2) {
                if (halfMarker) {
                    buffer.assign(1, kStartMarker[0]);
                } else {
                    buffer.clear();
                }
                return;
            }
            platform::logLine(platform::LogLevel::Warning, "Cannot find start of image - even after two didReceiveData calls, restart stream.");
            _dispatchCount = 0;
            buffer.clear();
            fetchImageLocked();
            return;
        }
    }

    std::size_t e = findLastEnd(buffer, endFrom);
    if (buffer.size() > kMaxImageBytes) {
        dispatchError(createErrorInfoWithId("LargeImage", static_cast<std::int32_t>(kMaxImageBytes), ""));
        return;
    }
    if (e != std::string::npos) {
        // The buffer becomes the frame (bytes after the marker are dropped); the next frame is
        // gathered in the memory of the one before, so that none of this allocates anew.
        Bytes frame;
        frame.swap(buffer);
        frame.resize(e + 2);
        buffer.swap(spare_);
        buffer.clear();
        _startDetected = false;
        dispatchImage(frame);
        spare_.swap(frame);
        if (!_isMJPEG) fetchImageLocked();
    }
}

void VideoProxy::connectionDidFinishLoading(platform::HttpStream& stream) {
    std::lock_guard lock(mutex_);
    if (!isCurrent(stream)) return;
    auto result = WHPluginResult::resultWithStatus(WHCommandStatus_OK);
    result.setKeepCallbackAsBool(true);
    commandDelegate()->sendPluginResult(result, _callbackId);
}

std::optional<std::string> VideoProxy::getCannotConnectError(const platform::HttpError& error) {
    auto intOf = [&](const char* key) -> long {
        auto it = error.userInfo.find(key);
        return it != error.userInfo.end() && it->is_number_integer() ? it->get<long>() : 0;
    };
    long code = intOf(platform::kStreamErrorCodeKey);
    long domain = intOf(platform::kStreamErrorDomainKey);
    if (code == 61 && domain == 1) return createErrorInfoWithId("Refused", 61, error.localizedDescription());
    return createErrorInfoWithId("NoResponse", static_cast<std::int32_t>(code), error.localizedDescription());
}

void VideoProxy::didFailWithError(platform::HttpStream& stream, const platform::HttpErrorRef& error) {
    std::lock_guard lock(mutex_);
    if (!isCurrent(stream) || !error) return;
    const std::string text = error->localizedDescription();
    switch (error->code) {
    case platform::kURLErrorNetworkConnectionLost:
        // A stream that had delivered data is requested again; one lost before any byte is a failure,
        // not a reason to hammer the camera with new requests.
        if (receivedAnyData_) {
            fetchImageLocked();
        } else {
            dispatchError(createErrorInfoWithId("HttpError", static_cast<std::int32_t>(error->code), text));
        }
        break;
    case platform::kURLErrorCannotConnectToHost:
        dispatchError(getCannotConnectError(*error));
        break;
    case platform::kURLErrorCannotFindHost:
        dispatchError(createErrorInfoWithId("UnknownHost", 0, text));
        break;
    case platform::kURLErrorTimedOut:
        dispatchError(createErrorInfoWithId("NoResponse", 0, text));
        break;
    case platform::kURLErrorCancelled:
        platform::logLine("URLConnection cancelled. Nothing to do.");
        break;
    default:
        dispatchError(createErrorInfoWithId("HttpError", static_cast<std::int32_t>(error->code), text));
        break;
    }
}

bool VideoProxy::canAuthenticateAgainstProtectionSpace(platform::HttpStream&, const platform::HttpAuthChallenge&) {
    return true;
}

bool VideoProxy::connectionShouldUseCredentialStorage(platform::HttpStream&) { return true; }

std::optional<platform::HttpCredential> VideoProxy::didReceiveAuthenticationChallenge(
    platform::HttpStream& stream, const platform::HttpAuthChallenge& challenge) {
    std::lock_guard lock(mutex_);
    if (!isCurrent(stream)) return std::nullopt;
    // The credentials are for the camera the page named, never for a host a redirect leads to.
    if (challenge.forRequestedHost && challenge.previousFailureCount == 0 && !_usr.empty())
        return platform::HttpCredential{_usr, _pwd};
    dispatchError(createErrorInfoWithId("HttpError", 401, "Unauthorized"));
    return std::nullopt;
}

// ---- frames and errors ----

void VideoProxy::dispatchImage(const Bytes& frame) {
    auto now = Clock::now();
    if (!_startDate) {
        _startDate = now;
    } else {
        double gap = std::chrono::duration<double>(now - _lastDispatch).count();
        if (gap <= fpsDeltaMs) return;
        double elapsed = std::chrono::duration<double>(now - *_startDate).count();
        if (elapsed <= 0) return;
        auto byteRate = static_cast<std::int64_t>(static_cast<double>(_dispatchedBytes + static_cast<std::int64_t>(frame.size())) / elapsed);
        if (byteRate >= bpsLimit) return;
        auto frameRate = static_cast<std::int64_t>(static_cast<double>(_dispatchedFrames) / elapsed);
        if (frameRate >= fpsLimit) return;
    }
    _lastDispatch = now;
    _dispatchedFrames += 1;
    _dispatchedBytes += static_cast<std::int64_t>(frame.size());
    _dispatchCount = std::min(_dispatchCount + 1, 100);
    // A frame of many bytes goes to the page outside the messages; its web process makes the
    // Base64 text there.
    WHPluginResult result;
    std::shared_ptr<WHPageBytes> bytes;
    if (commandDelegate()->carriesPageBytes(frame.size())) bytes = WHPageBytes::forMemory(frame);
    if (bytes) {
        result = WHPluginResult::resultWithStatusMessageAsPageBytes(WHCommandStatus_OK, std::move(bytes),
                                                                   WHPageBytesForm::Base64Text);
    } else {
        result = WHPluginResult::resultWithStatus(WHCommandStatus_OK, platform::base64Encode(frame));
    }
    result.setKeepCallbackAsBool(true);
    commandDelegate()->sendPluginResult(result, _callbackId);
}

void VideoProxy::dispatchError(const std::optional<std::string>& report) {
    auto result = report ? WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, *report)
                         : WHPluginResult::resultWithStatus(WHCommandStatus_ERROR);
    result.setKeepCallbackAsBool(false);
    commandDelegate()->sendPluginResult(result, _callbackId);
    // The callback is closed: nothing more is sent or requested for this stream.
    failed_ = true;
    if (_queue) _queue->cancelAllStreams();
    if (_conn) _conn->cancel();
    _conn.reset();
    _receivedData = Bytes{};
    _startDetected = false;
}
