#include "companion/PresenceDetector.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "companion/KVControlMain.h"
#include "companion/StatusBarMenu.h"
#include "platform/log.h"
#include "platform/panels.h"

using platform::Value;

static std::unique_ptr<PresenceDetector>& detectorSlot() {
    // Never released: the instance lives until the process ends, past static destruction.
    static auto* slot = new std::unique_ptr<PresenceDetector>;
    return *slot;
}

PresenceDetector& PresenceDetector::sharedInstance() {
    auto& slot = detectorSlot();
    if (!slot) slot = std::make_unique<PresenceDetector>();
    return *slot;
}

void PresenceDetector::setSharedInstance(std::unique_ptr<PresenceDetector> instance) {
    detectorSlot() = std::move(instance);
}

bool PresenceDetector::hasSharedInstance() { return detectorSlot() != nullptr; }

static std::string kv(const std::string& key) { return Utils::kvString(key); }

static std::string nowText() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return buf;
}

// A whole decimal number: a text of an optional sign and digits, or a JSON integer.
static std::optional<long long> decimalInteger(const Value& v) {
    if (v.is_number_integer()) return v.get<long long>();
    if (!v.is_string()) return std::nullopt;
    const std::string& s = v.get_ref<const std::string&>();
    if (s.empty()) return std::nullopt;
    std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
    if (i == s.size()) return std::nullopt;
    for (std::size_t k = i; k < s.size(); ++k) {
        if (s[k] < '0' || s[k] > '9') return std::nullopt;
    }
    errno = 0;
    long long n = std::strtoll(s.c_str(), nullptr, 10);
    if (errno == ERANGE) return std::nullopt;
    return n;
}

PresenceDetector::PresenceDetector() : PresenceDetector(Reachability::create(), platform::SessionNoticeSource::system()) {}

PresenceDetector::PresenceDetector(std::shared_ptr<Reachability> reachability,
                                   std::shared_ptr<platform::SessionNoticeSource> notices, double timeScale)
    : reachability_(std::move(reachability)),
      notices_(std::move(notices)),
      timeScale_(timeScale),
      lifetime_(this) {
    auto weak = lifetime_.token();
    if (notices_) {
        // The session as it is now: a screen locked before the start keeps the user away.
        for (const auto& notice : notices_->currentNotices()) applySessionNotice(notice);
        notices_->setHandler([weak](const std::string& notice) {
            if (auto* self = weak.get()) self->didReceiveNotification(platform::Notification{notice, nullptr, {}, nullptr});
        });
    }
    platform::NotificationCenter::defaultCenter().addObserver(
        this, ReachabilityChangedNotification, nullptr, [weak](const platform::Notification& n) {
            auto handle = [weak, n] {
                if (auto* self = weak.get()) self->didReceiveNotification(n);
            };
            if (platform::isMainThread()) {
                handle();
            } else {
                platform::dispatchMain(handle);
            }
        });
    if (!reachability_) {
        // Nothing watches the network, so it is taken as reachable.
        isOnline_ = networkKnown_ = true;
        return;
    }
    try {
        reachability_->startNotifier();
    } catch (const ReachabilityError&) {
        platform::logLine(platform::LogLevel::Error, "Unable to start notifier");
        // No change will be reported: as without a monitor.
        isOnline_ = networkKnown_ = true;
    }
}

PresenceDetector::~PresenceDetector() {
    lifetime_.end();
    if (notices_) notices_->setHandler({});
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    cancel(presenceTimer_);
    cancel(backupTimer_);
    if (currentHTTPCommand_) currentHTTPCommand_->stop();
    if (reachability_) reachability_->stopNotifier();
}

void PresenceDetector::schedule(PendingTimer& slot, double interval) {
    cancel(slot);
    auto weak = lifetime_.token();
    slot.interval = interval;
    slot.fireDate = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(interval * timeScale_));
    slot.timer = platform::Timer::scheduled(interval * timeScale_, false, [weak](platform::Timer& t) {
        if (auto* self = weak.get()) self->timerFired(t);
    });
}

void PresenceDetector::cancel(PendingTimer& slot) {
    if (slot.timer) slot.timer->invalidate();
    slot.timer.reset();
}

std::optional<double> PresenceDetector::pendingPresenceInterval() const {
    if (presenceTimer_.timer && presenceTimer_.timer->isValid()) return presenceTimer_.interval;
    return std::nullopt;
}

std::optional<double> PresenceDetector::pendingBackupInterval() const {
    if (backupTimer_.timer && backupTimer_.timer->isValid()) return backupTimer_.interval;
    return std::nullopt;
}

double PresenceDetector::nextInterval(long long value) {
    return std::max(static_cast<double>(value / 1000 - 15), 5.0);
}

double PresenceDetector::nextBackupTime(double current) {
    return current == 0 ? 3.0 : std::min(current * 1.5, 60.0);
}

void PresenceDetector::report(KivanoControlState state, const std::optional<std::string>& text) {
    StatusBarMenu::sharedInstance().updatePresenceDetectionState(state, text);
}

void PresenceDetector::didReceiveSelectedHubstation(std::shared_ptr<Hubstation> hubstation) {
    std::shared_ptr<Hubstation> previous = hubstation_;
    hubstation_ = std::move(hubstation);
    if (!presenceControl_) return;
    stopPresenceDetector(false, std::nullopt);
    if (previous && hubstation_ && previous->serialNo == hubstation_->serialNo) {
        startPresenceDetector(0);
    } else {
        presenceControl_.reset();
    }
}

void PresenceDetector::didReceiveSelectedPresenceControl(std::shared_ptr<const PresenceControl> control) {
    presenceControl_ = std::move(control);
    startPresenceDetector(0);
}

void PresenceDetector::startPresenceDetector(double timeout) {
    if (!hubstation_ || !presenceControl_) {
        platform::logLine("Presence Detector: no hubstation or presence control selected, don't start detection!");
        return;
    }
    // Only a retry still to come blocks a start; one that has fired already does not.
    if (pendingBackupInterval()) {
        platform::logLine("Presence Detector: backup timer is active (isn't nil), don't start detection!");
        return;
    }
    if (!isPresentAndOnline()) {
        // Kept as a wish: the control stays selected and the next return to present starts.
        platform::logLine("Presence Detector: user away or no network, detection starts when both are back");
        cancel(presenceTimer_);
        if (!isOnline_ && networkKnown_) {
            report(KivanoControlState::Offline, std::nullopt);
        } else {
            report(KivanoControlState::Normal, kv("kivano-control.presence-state.not-sent"));
        }
        return;
    }
    if (presenceTimer_.isSet()) {
        if (timeout == 0) {
            platform::logLine("Presence Detector: try starting presence detection not from backup, although it is already started");
        } else {
            double remaining =
                std::chrono::duration<double>(presenceTimer_.fireDate - std::chrono::steady_clock::now()).count();
            if (remaining > 0) {
                platform::logf("Presence Detector: try starting presence detection, although it is already started "
                               "(remaining seconds %g)",
                               remaining);
            }
        }
    }
    platform::logf("Presence Detector: starting with %g", timeout);
    schedule(presenceTimer_, timeout);
    unauthorizedCount_ = 0;
}

void PresenceDetector::stopPresenceDetector(bool removePresenceControl, const std::optional<std::string>& stateText) {
    platform::logLine("Presence Detector: stopping");
    cancel(presenceTimer_);
    if (backupTimer_.isSet()) {
        cancel(backupTimer_);
        currentBackupTime_ = 0;
    }
    if (removePresenceControl) presenceControl_.reset();
    if (currentHTTPCommand_) {
        auto command = std::move(currentHTTPCommand_);
        command->stop();
        // The stop may come from the command's own callback: let it return first.
        platform::dispatchMain([command] {});
    }
    if (!presenceControl_) {
        report(KivanoControlState::Inactive, std::nullopt);
    } else if (!isOnline_) {
        report(KivanoControlState::Offline, std::nullopt);
    } else if (stateText) {
        report(KivanoControlState::Error, stateText);
    } else {
        report(KivanoControlState::Normal, kv("kivano-control.presence-state.not-sent"));
    }
}

bool PresenceDetector::applySessionNotice(const std::string& name) {
    using namespace platform;
    struct Effect {
        const char* notice;
        bool PresenceDetector::*signal;
        bool away;
    };
    static const Effect effects[] = {
        {kSessionScreenIsLockedNotice, &PresenceDetector::screenLocked_, true},
        {kSessionScreenIsUnlockedNotice, &PresenceDetector::screenLocked_, false},
        {kSessionScreensaverDidStartNotice, &PresenceDetector::screensaverRunning_, true},
        {kSessionScreensaverDidStopNotice, &PresenceDetector::screensaverRunning_, false},
        {kSessionWillSleepNotice, &PresenceDetector::machineAsleep_, true},
        {kSessionWillPowerOffNotice, &PresenceDetector::machineAsleep_, true},
        {kSessionDidWakeNotice, &PresenceDetector::machineAsleep_, false},
        {kSessionPowerOffCancelledNotice, &PresenceDetector::machineAsleep_, false},
        {kSessionScreensDidSleepNotice, &PresenceDetector::screensAsleep_, true},
        {kSessionScreensDidWakeNotice, &PresenceDetector::screensAsleep_, false},
    };
    for (const auto& e : effects) {
        if (name != e.notice) continue;
        this->*e.signal = e.away;
        return true;
    }
    return false;
}

void PresenceDetector::didReceiveNotification(const platform::Notification& notification) {
    const std::string& name = notification.name;
    bool wasPresent = userIsPresent();
    bool wasPresentAndOnline = isPresentAndOnline();
    if (applySessionNotice(name)) {
        if (!wasPresentAndOnline && isPresentAndOnline()) {
            currentBackupTime_ = 0;
            startPresenceDetector(0);
        } else if (wasPresent && !userIsPresent()) {
            stopPresenceDetector(false, std::nullopt);
        }
    } else if (name == ReachabilityChangedNotification) {
        isOnline_ = reachability_ ? reachability_->isReachable() : true;
        networkKnown_ = true;
        if (!isOnline_) {
            platform::logLine("no network, stop detection");
            stopPresenceDetector(false, std::nullopt);
        } else {
            platform::logLine("has network, start detection");
            currentBackupTime_ = 0;
            startPresenceDetector(0);
        }
    }
}

void PresenceDetector::timerFired(platform::Timer&) {
    if (!presenceControl_ || !hubstation_) return;
    std::string command = "/jdev/sps/io/" + presenceControl_->UUID() + "/pulse";
    std::optional<std::string> local;
    if (!hubstation_->localURL.empty()) local = hubstation_->localURL;
    KVHTTPHubstation target(hubstation_->serialNo, local, std::nullopt, hubstation_->username, hubstation_->password);
    auto weak = lifetime_.token();
    currentHTTPCommand_ = KVHTTPCommand::create(
        command, std::move(target), KVHTTPReachMode::Local,
        [weak](const KVHTTPResult& result, bool success, const platform::HttpErrorRef& localError,
               const platform::HttpErrorRef&, const Value& userInfo) {
            if (auto* self = weak.get()) self->handlePulseResult(result, success, localError, userInfo);
        });
    currentHTTPCommand_->setDecodesImages(false);  // only an envelope is a delivered pulse
    // Keep the command: send() may answer before it returns.
    auto sending = currentHTTPCommand_;
    sending->send();
}

void PresenceDetector::handlePulseResult(const KVHTTPResult& result, bool success,
                                         const platform::HttpErrorRef& localError, const Value& userInfo) {
    std::optional<long long> statusCode;
    if (userInfo.is_object() && userInfo.contains("statusCode") && userInfo["statusCode"].is_number_integer()) {
        statusCode = userInfo["statusCode"].get<long long>();
    } else if (localError) {
        statusCode = localError->code;
    }

    std::optional<long long> value;
    bool delivered = false;
    if (result.kind == KVHTTPResult::Kind::Value && result.value.is_object() && result.value.contains("LL") &&
        result.value["LL"].is_object()) {
        const Value& ll = result.value["LL"];
        std::optional<long long> code = ll.contains("Code") ? decimalInteger(ll["Code"]) : std::nullopt;
        value = ll.contains("value") ? decimalInteger(ll["value"]) : std::nullopt;
        if (code && *code != 200) statusCode = code;
        delivered = success && statusCode == 200 && code == 200 && value.has_value();
    }

    if (delivered) {
        platform::logLine(nowText() + " Presence successfully sent!");
        if (backupTimer_.isSet()) {
            cancel(backupTimer_);
            currentBackupTime_ = 0;
        }
        startPresenceDetector(nextInterval(*value));
        report(KivanoControlState::Sending, kv("kivano-control.presence-state.sent"));
        return;
    }

    platform::logLine(platform::LogLevel::Warning, nowText() + " Presence sending failed! (StatusCode " +
                      (statusCode ? std::to_string(*statusCode) : std::string("none")) + ")");
    if (!isOnline_) return;
    if (statusCode == 401) {
        stopPresenceDetector(false, kv("kivano-control.error.wrong-credentials"));
        if (unauthorizedCount_ < 1) {
            schedule(backupTimer_, 5.0);
        } else {
            showAlert(kv("kivano-control.error.wrong-credentials") + "! " + kv("kivano-control.error.end-detection"),
                      kv("kivano-control.error.reconnect"));
        }
        ++unauthorizedCount_;
    } else if (statusCode == 404 && currentBackupTime_ >= 30.0) {
        stopPresenceDetector(false, kv("kivano-control.presence-state.pd-not-found"));
        showAlert(kv("kivano-control.presence-state.pd-not-found") + "! " + kv("kivano-control.error.end-detection"),
                  kv("kivano-control.error.reconnect"));
    } else {
        currentBackupTime_ = nextBackupTime(currentBackupTime_);
        report(KivanoControlState::Normal, kv("kivano-control.presence-state.try-to-send"));
        schedule(backupTimer_, currentBackupTime_);
    }
}

void PresenceDetector::showAlert(const std::string& message, const std::optional<std::string>& informativeText) {
    int button = platform::runWarningAlertPanel(nullptr, message, informativeText, {kv("open"), kv("cancel")});
    if (button == 0 && hubstation_) {
        if (KVControlMain* main = KVControlMain::sharedInstance()) main->showTarragon("kivano://hs?mac=" + hubstation_->serialNo);
    }
}
