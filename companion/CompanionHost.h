// What the companion asks of the application that hosts it: the launch's state, events for the
// page, the page's window, and the page's plug-ins it shares. The application's delegate is the
// host; without one (tests) the companion runs on its own.
#pragma once

#include <string>

class ApplicationManager;
class WHFile;

class CompanionHost {
public:
    virtual ~CompanionHost() = default;

    // The application's delegate when it is a host.
    static CompanionHost* current();

    // Started by the session at login (the start-up URL), not by the user.
    virtual bool launchedAtLogin() const = 0;
    // The launch has finished.
    virtual bool launchFinished() const = 0;
    // The page's connection is about to be closed (the window went away a moment ago).
    virtual bool closeConnectionPending() const = 0;
    virtual void stopCloseConnectionTimer() = 0;
    // A document event for the page ("'resume'"), now or from the run loop.
    virtual void sendEventToPage(const std::string& event, bool scheduleOnRunLoop) = 0;
    // Shows the page's window and brings it to the front.
    virtual void showPageWindow() = 0;

    // The page's live plug-ins, null where the page has none.
    virtual WHFile* filePlugin() const = 0;
    virtual ApplicationManager* applicationManager() const = 0;
};
