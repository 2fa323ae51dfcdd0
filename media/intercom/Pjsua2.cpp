#include "media/intercom/Pjsua2.h"

#include <chrono>
#include <future>

#include "platform/dispatch.h"
#include "platform/log.h"

namespace {
// How often the library's events are pumped while it is up.
constexpr auto kEventInterval = std::chrono::milliseconds(10);
}  // namespace

Pjsua2::Pjsua2() {
    bgThread_ = std::thread([this] { _th(); });
    // The library picks the system's default devices itself; 0 stands for them.
    inputDevice = 0;
    outputDevice = 0;
}

Pjsua2::~Pjsua2() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    wake_.notify_all();
    if (bgThread_.joinable()) bgThread_.join();
}

void Pjsua2::perform(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
}

void Pjsua2::sync(const std::function<void()>& job) {
    std::promise<void> done;
    perform([&] {
        job();
        done.set_value();
    });
    done.get_future().wait();
}

void Pjsua2::_th() {
    workerId_ = std::this_thread::get_id();
    auto& ep = sip::Endpoint::instance();
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            if (jobs_.empty() && !cancelled_) {
                if (ep.libIsCreated()) wake_.wait_for(lock, kEventInterval);
                else wake_.wait(lock, [this] { return cancelled_ || !jobs_.empty(); });
            }
            if (cancelled_) break;
            if (!jobs_.empty()) {
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
        }
        if (job) job();
        if (ep.libIsCreated()) ep.handleEvents();
    }
    // Leaving with a call still up: end it so the library goes down on its own thread.
    if (call_) _stopCall();
}

void Pjsua2::startCall(const std::string& config, std::function<std::string(const std::string&)> prepare) {
    std::uint64_t request = ++*requested_;
    perform([this, config, request, prepare = std::move(prepare)] {
        callRequest_ = request;
        _startCall(config, prepare);
    });
}

void Pjsua2::stopCall() {
    ++*requested_;
    perform([this] { _stopCall(); });
}

void Pjsua2::setMicMute(bool mute) {
    perform([this, boxed = Value(mute)] { _setMicMute(boxed); });
}

void Pjsua2::setLevelMic(float mic, float speaker) {
    perform([this, levels = Value::array({mic, speaker})] { _setLevels(levels); });
}

void Pjsua2::_startCall(const std::string& given, const std::function<std::string(const std::string&)>& prepare) {
    // One call at a time: a call still held is ended first, without relaying its end, which
    // would otherwise reach the new call's callback.
    if (call_) {
        _unregisterFromCallStates();
        call_->endCall();
        call_.reset();
    }
    std::string config = prepare ? prepare(given) : given;
    _registerForCallStates();
    call_ = std::make_unique<Pjsua2Wrapper>();
    call_->initWithConfig(config);
    call_->call(config);
}

void Pjsua2::_stopCall() {
    if (call_) call_->endCall();
    _unregisterFromCallStates();
    call_.reset();
}

void Pjsua2::_setMicMute(const Value& boxed) {
    if (call_ && boxed.is_boolean()) call_->setMicMute(boxed.get<bool>());
}

void Pjsua2::_setLevels(const Value& levels) {
    if (call_ && levels.is_array() && levels.size() == 2)
        call_->setLevelMicAndSpeaker(levels[0].get<float>(), levels[1].get<float>());
}

void Pjsua2::_registerForCallStates() {
    platform::NotificationCenter::defaultCenter().removeObserver(this, KvPjsuaInternalNotification);
    platform::NotificationCenter::defaultCenter().addObserver(
        this, KvPjsuaInternalNotification, nullptr, [this](const platform::Notification& n) { _callStateChanged(n); });
}

void Pjsua2::_unregisterFromCallStates() {
    platform::NotificationCenter::defaultCenter().removeObserver(this, KvPjsuaInternalNotification);
}

void Pjsua2::_callStateChanged(const platform::Notification& n) {
    int state = -1;
    if (n.userInfo.is_object() && n.userInfo.contains(KvPjsua2NotifState) && n.userInfo[KvPjsua2NotifState].is_number())
        state = n.userInfo[KvPjsua2NotifState].get<int>();
    if (state == sip::kStateConfirmed) _activateSpeaker(true);
    else if (state == sip::kStateDisconnected) _activateSpeaker(false);
    if (platform::isMainThread()) {
        _postNotification(n.userInfo);
    } else {
        // Only the controller's identity travels: the main queue may run after it is gone.
        const void* sender = this;
        platform::dispatchMain([sender, info = n.userInfo, requested = requested_, request = callRequest_] {
            if (requested->load() != request) return;  // a call stopped or replaced meanwhile
            platform::NotificationCenter::defaultCenter().post(KvPjsua2Notification, sender, info);
        });
    }
}

void Pjsua2::_postNotification(const Value& userInfo) {
    platform::NotificationCenter::defaultCenter().post(KvPjsua2Notification, this, userInfo);
}

bool Pjsua2::_activateSpeaker(bool activate) {
    if (!activate) return true;
    // The library opens the default input and output devices with the call's audio; without
    // sound devices there is nothing to prepare.
    if (!sip::Endpoint::instance().hasSoundDevices()) {
        platform::logLine("No default output audio device; speaker set-up skipped");
        return false;
    }
    return true;
}
