// Notices of the user's session: screen lock, screensaver, sleep, wake and power-off. The
// system source listens on D-Bus (logind on the system bus; the screensaver services on the
// session bus); tests inject notices by hand. Notices reach the handler on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform {

inline constexpr const char* kSessionScreenIsLockedNotice = "SessionScreenIsLocked";
inline constexpr const char* kSessionScreenIsUnlockedNotice = "SessionScreenIsUnlocked";
inline constexpr const char* kSessionScreensaverDidStartNotice = "SessionScreensaverDidStart";
inline constexpr const char* kSessionScreensaverDidStopNotice = "SessionScreensaverDidStop";
inline constexpr const char* kSessionWillPowerOffNotice = "SessionWillPowerOff";
inline constexpr const char* kSessionWillSleepNotice = "SessionWillSleep";
inline constexpr const char* kSessionDidWakeNotice = "SessionDidWake";
inline constexpr const char* kSessionScreensDidSleepNotice = "SessionScreensDidSleep";
inline constexpr const char* kSessionScreensDidWakeNotice = "SessionScreensDidWake";

class SessionNoticeSource {
public:
    using Handler = std::function<void(const std::string& notice)>;
    virtual ~SessionNoticeSource() = default;
    // Installs the receiver of notices (empty: none). Notices before that are dropped.
    virtual void setHandler(Handler handler) = 0;

    // The session's own notices over D-Bus. A bus that cannot be reached just sends nothing.
    // Create and use on the main thread.
    static std::shared_ptr<SessionNoticeSource> system();
};

// Notices posted by hand.
class InjectedSessionNoticeSource : public SessionNoticeSource {
public:
    void setHandler(Handler handler) override { handler_ = std::move(handler); }
    // Delivers the notice at once on the calling thread.
    void post(const std::string& notice) {
        if (handler_) handler_(notice);
    }

private:
    Handler handler_;
};

}  // namespace platform
