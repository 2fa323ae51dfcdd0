// Camera stream proxy: fetches a camera's picture over HTTP (one MJPEG multipart response, or one
// JPEG per request), cuts JPEG frames out of the bytes by their markers, throttles them to the
// frame-rate and byte-rate limits and hands each frame that passes to the page as Base64 text on
// the kept callback of startStream.
//
// Actions run on the main thread; the request is started from a background thread and its events
// arrive on the plug-in's own stream session thread, where frames and errors are sent from.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/WHPlugin.h"
#include "platform/http_stream.h"

class VideoProxy : public WHPlugin, private platform::HttpStreamDelegate {
public:
    using WHPlugin::WHPlugin;
    ~VideoProxy() override;

    void pluginInitialize() override;
    void onReset() override;
    const ActionTable& actions() const override;

    void startStream(const WHInvokedUrlCommand& command);
    void stopStream(const WHInvokedUrlCommand& command);
    void imageProcessed(const WHInvokedUrlCommand& command);

    // A frame is never buffered beyond this many bytes.
    static constexpr std::size_t kMaxImageBytes = 5242880;

    // Seconds a request may stay without progress before it fails; for streams started afterwards.
    void setTimeoutInterval(double seconds);

    // The report text sent to the page: {"errorId", "errorCode", "errorText"}.
    static std::optional<std::string> createErrorInfoWithId(const std::string& errorId, std::int32_t code,
                                                            const std::string& text);

private:
    using Clock = std::chrono::steady_clock;

    void closeStream();       // takes the lock
    void fetchImage();        // takes the lock
    void fetchImageLocked();  // the lock is held
    void dispatchImage(const Bytes& frame);
    void dispatchError(const std::optional<std::string>& report);
    static std::optional<std::string> getCannotConnectError(const platform::HttpError& error);
    bool isCurrent(const platform::HttpStream& stream) const { return _conn && _conn.get() == &stream; }
    void ensureQueue();

    // Connection events, on the stream session's thread.
    void didReceiveResponse(platform::HttpStream& stream, const platform::HttpResponse& response) override;
    void didReceiveData(platform::HttpStream& stream, const Bytes& data) override;
    void connectionDidFinishLoading(platform::HttpStream& stream) override;
    void didFailWithError(platform::HttpStream& stream, const platform::HttpErrorRef& error) override;
    bool canAuthenticateAgainstProtectionSpace(platform::HttpStream& stream,
                                               const platform::HttpAuthChallenge& space) override;
    std::optional<platform::HttpCredential> didReceiveAuthenticationChallenge(
        platform::HttpStream& stream, const platform::HttpAuthChallenge& challenge) override;
    bool connectionShouldUseCredentialStorage(platform::HttpStream& stream) override;

    // Guards the state below: actions on the main thread, events on the session thread.
    mutable std::mutex mutex_;

    std::shared_ptr<platform::HttpStream> _conn;
    std::optional<Bytes> _receivedData;
    Bytes spare_;  // the memory of the last frame, for the next one
    std::shared_ptr<platform::StreamSession> _queue;
    std::optional<std::string> _callbackId;
    bool cancelled = false;
    std::string _url;
    std::string _usr;
    std::string _pwd;
    bool _isMJPEG = true;
    bool _initialResponseReceived = false;
    bool _startDetected = false;
    std::int32_t _dispatchCount = 0;
    std::int32_t _readStartRetrys = 0;
    std::optional<Clock::time_point> _startDate;
    Clock::time_point _lastDispatch{};
    std::int64_t _dispatchedBytes = 0;
    std::int64_t _dispatchedFrames = 0;
    std::int64_t bpsLimit = 1048576;
    std::int64_t fpsLimit = 20;
    double fpsDeltaMs = 0.05;  // seconds, despite the name

    bool failed_ = false;         // the stream ended with an error report
    bool receivedAnyData_ = false;  // the running request delivered bytes
    double timeoutInterval_ = 10.0;

    // Lets a queued background start find out that the plug-in is gone.
    struct Liveness {
        std::mutex mutex;
        VideoProxy* self = nullptr;
    };
    std::shared_ptr<Liveness> liveness_ = std::make_shared<Liveness>();
};
