// The application: a single-instance GtkApplication (id = bundle identifier). URLs given on
// the command line of the first or of any later launch reach the delegate; life-cycle notices
// go to the delegate and the default notification centre. --help and --version answer in the
// launching process without starting the interface.
#pragma once

#include <functional>
#include <string>
#include <vector>

typedef struct _GtkApplication GtkApplication;

namespace platform {

inline constexpr const char* kApplicationWillFinishLaunchingNotification = "NSApplicationWillFinishLaunchingNotification";
inline constexpr const char* kApplicationDidFinishLaunchingNotification = "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationWillTerminateNotification = "NSApplicationWillTerminateNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "NSApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationDidResignActiveNotification = "NSApplicationDidResignActiveNotification";

// Adds the bundle's icons folder to the icon theme's search path (the build tree and unusual
// prefixes have no installed icons) and makes the application icon every window's default.
void useBundleIcons();

// Regular: an ordinary application with its window. Accessory: no window; the process lives on.
enum class ActivationPolicy { Regular, Accessory };

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationWillFinishLaunching() {}
    virtual void applicationDidFinishLaunching() {}
    // One call per URL, in the order given (our 'GURL' event).
    virtual void applicationOpenURL(const std::string& url) {}
    // A later launch without URLs.
    virtual void applicationReopen() {}
    virtual void applicationWillTerminate() {}
};

class Application {
public:
    static Application& shared();

    // Runs the application. `loadInterface` runs once in the primary instance, before launching
    // finishes; it creates the delegate, the window and the web view. `beforeRegistering`, when
    // given, runs first, once the display is open and before the application registers on the
    // session bus: the place to start what takes long and needs no window. Not with options
    // (--help, --version), without a display, nor while another instance runs (this launch then
    // only hands over its URLs). Answers the exit status.
    int run(int argc, char** argv, const std::function<void()>& loadInterface,
            const std::function<void()>& beforeRegistering = {});

    void setDelegate(ApplicationDelegate* d) { delegate_ = d; }
    ApplicationDelegate* delegate() const { return delegate_; }

    void setActivationPolicy(ActivationPolicy p) { policy_ = p; }
    ActivationPolicy activationPolicy() const { return policy_; }

    // Posts the will-terminate notice, then ends the main loop. SIGTERM and SIGINT to the
    // primary instance come here too.
    void terminate();
    bool isTerminating() const { return terminating_; }

    // Brings the application's visible windows to the front.
    void activateIgnoringOtherApps();
    bool isActive() const { return active_; }
    // Windows report focus changes; the application derives its active state from them.
    void noteWindowFocus(bool focused);

    bool launched() const { return launched_; }

    // Without run(): tests drive the launch steps themselves.
    void finishLaunchingForTesting();

private:
    friend class Window;  // its windows belong to the application
    GtkApplication* gtkApplication() const { return app_; }

    static int onLocalOptions(void* app, void* options, void* self);
    static void onStartup(GtkApplication*, void*);
    static int onCommandLine(void* app, void* cmdline, void* self);
    static void onActivate(GtkApplication*, void*);
    static int onQuitSignal(void* self);
    void finishLaunching();

    GtkApplication* app_ = nullptr;
    ApplicationDelegate* delegate_ = nullptr;
    std::function<void()> loadInterface_;
    ActivationPolicy policy_ = ActivationPolicy::Regular;
    bool launched_ = false;
    bool terminating_ = false;
    bool active_ = false;
    int focusedWindows_ = 0;
    std::vector<unsigned> quitSignalSources_;
};

}  // namespace platform
