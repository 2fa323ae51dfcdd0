// The intercom's call controller: a worker thread on which every call into the SIP library is
// made, one library wrapper per call, and the wrapper's call states relayed to the main thread
// as KvPjsua2Notification (sender: the controller). One controller serves the process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "media/intercom/Pjsua2Wrapper.h"
#include "platform/notification_center.h"

class Pjsua2 {
public:
    Pjsua2();
    // Ends a running call (its transactions finished, or the library's release wait spent),
    // drops the work not yet begun and stops the worker; waits for all of it.
    ~Pjsua2();
    Pjsua2(const Pjsua2&) = delete;
    Pjsua2& operator=(const Pjsua2&) = delete;

    // Each returns at once; the work runs on the worker thread in the order asked. `prepare`,
    // when given, turns the configuration into the one to use, on the worker right before the
    // set-up: after the release of every call asked for earlier.
    void startCall(const std::string& config, std::function<std::string(const std::string&)> prepare = nullptr);
    void stopCall();
    void setMicMute(bool mute);
    void setLevelMic(float mic, float speaker);

    // Runs `job` on the worker thread after the work asked so far and waits for it (tests).
    void sync(const std::function<void()>& job);
    // The wrapper of the running call; only on the worker thread.
    Pjsua2Wrapper* currentCall() const { return call_.get(); }

    std::uint32_t inputDevice = 0;   // 0: the system default device
    std::uint32_t outputDevice = 0;

private:
    void perform(std::function<void()> job);
    void _th();
    void _startCall(const std::string& config, const std::function<std::string(const std::string&)>& prepare);
    void _stopCall();
    void _setMicMute(const Value& boxed);
    void _setLevels(const Value& levels);
    void _registerForCallStates();
    void _unregisterFromCallStates();
    void _callStateChanged(const platform::Notification& n);
    void _postNotification(const Value& userInfo);
    bool _activateSpeaker(bool activate);

    std::unique_ptr<Pjsua2Wrapper> call_;
    // Numbers the start and stop requests as they are made. An event is posted on the main thread
    // only while its call is still the one last asked for: the events of a call already stopped
    // or replaced are dropped, as they would reach the callback of the next call.
    std::shared_ptr<std::atomic<std::uint64_t>> requested_ = std::make_shared<std::atomic<std::uint64_t>>(0);
    std::uint64_t callRequest_ = 0;  // worker thread: the request of the call held
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool cancelled_ = false;
    std::thread bgThread_;
    std::thread::id workerId_;
};
