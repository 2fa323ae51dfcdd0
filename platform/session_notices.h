// Notices of the user's session: screen lock, screen saver, sleep, wake, power-off and the
// screens' power state. The system source listens on D-Bus: logind on the system bus, only to
// logind itself and only to this process's own session; the screen savers and the desktop's
// display configuration on the session bus, each only from the owner of its name. Without the
// display configuration service, an X11 display's DPMS state is read every few seconds. Nothing
// waits for a service: the state is asked for at the start and comes as notices with the answers.
// Tests inject notices by hand. Notices reach the handler on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

inline constexpr const char* kSessionScreenIsLockedNotice = "SessionScreenIsLocked";
inline constexpr const char* kSessionScreenIsUnlockedNotice = "SessionScreenIsUnlocked";
inline constexpr const char* kSessionScreensaverDidStartNotice = "SessionScreensaverDidStart";
inline constexpr const char* kSessionScreensaverDidStopNotice = "SessionScreensaverDidStop";
inline constexpr const char* kSessionWillPowerOffNotice = "SessionWillPowerOff";
// A power-off that was announced did not happen.
inline constexpr const char* kSessionPowerOffCancelledNotice = "SessionPowerOffCancelled";
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
    // The notices that describe the session as it is now, for a receiver that starts late:
    // screen locked, screen saver running, screens asleep (only those that hold).
    virtual std::vector<std::string> currentNotices() const = 0;
    // False while a service has yet to answer what it was asked: until then currentNotices()
    // can miss what holds.
    virtual bool settled() const { return true; }

    // The session's own notices over D-Bus. A bus or a service that cannot be reached just
    // sends nothing (one log line says which). Create and use on the main thread.
    static std::shared_ptr<SessionNoticeSource> system();
};

// Notices posted by hand.
class InjectedSessionNoticeSource : public SessionNoticeSource {
public:
    void setHandler(Handler handler) override { handler_ = std::move(handler); }
    std::vector<std::string> currentNotices() const override { return current; }
    // Delivers the notice at once on the calling thread.
    void post(const std::string& notice) {
        if (handler_) handler_(notice);
    }

    // What currentNotices() answers.
    std::vector<std::string> current;

private:
    Handler handler_;
};

}  // namespace platform
