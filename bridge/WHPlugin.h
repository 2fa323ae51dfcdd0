// Base class of every plug-in the page calls. Each class lists its actions in an action table;
// only those are reachable from the page.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bridge/WHInvokedUrlCommand.h"
#include "bridge/WHPluginResult.h"
#include "platform/notification_center.h"

namespace platform {
class ApplicationDelegate;
class WebView;
}
class WHViewController;
class WHCommandDelegate;

inline constexpr const char* WHPluginHandleOpenURLNotification = "WHPluginHandleOpenURLNotification";
inline constexpr const char* WHPluginResetNotification = "WHPluginResetNotification";

class WHPlugin {
public:
    using Action = std::function<void(WHPlugin&, const WHInvokedUrlCommand&)>;
    using ActionTable = std::map<std::string, Action>;

    explicit WHPlugin(platform::WebView* webView);
    virtual ~WHPlugin();
    WHPlugin(const WHPlugin&) = delete;
    WHPlugin& operator=(const WHPlugin&) = delete;

    virtual void pluginInitialize() {}
    virtual void dispose();
    virtual void handleOpenURL(const platform::Notification& notification) {}
    virtual void onAppTerminate() {}
    virtual void onMemoryWarning() {}
    virtual void onReset() {}

    // The actions the page may call, by action name (without the colon).
    virtual const ActionTable& actions() const;
    bool hasAction(const std::string& name) const;
    void invokeAction(const std::string& name, const WHInvokedUrlCommand& command);

    // The application's delegate.
    platform::ApplicationDelegate* appDelegate() const;
    platform::WebView* webView() const { return webView_; }
    void setWebView(platform::WebView* v) { webView_ = v; }
    WHViewController* viewController() const { return viewController_; }
    void setViewController(WHViewController* vc) { viewController_ = vc; }
    WHCommandDelegate* commandDelegate() const { return commandDelegate_; }
    void setCommandDelegate(WHCommandDelegate* d) { commandDelegate_ = d; }

    bool hasPendingOperation = false;

private:
    platform::WebView* webView_ = nullptr;
    WHViewController* viewController_ = nullptr;
    WHCommandDelegate* commandDelegate_ = nullptr;
};

// An action table entry: WH_ACTION(Class, name) calls Class::name(command).
#define WH_ACTION(Class, name) \
    { #name, [](WHPlugin& p, const WHInvokedUrlCommand& c) { static_cast<Class&>(p).name(c); } }

// Plug-in classes by name, as config.xml names them.
class PluginRegistry {
public:
    using Factory = std::function<std::unique_ptr<WHPlugin>(platform::WebView*)>;
    static bool registerClass(const std::string& className, Factory factory);
    static std::unique_ptr<WHPlugin> create(const std::string& className, platform::WebView* webView);
    static bool has(const std::string& className);

    // An argument of an action whose bytes (a text, raw bytes or the array-buffer form) may stay in
    // the page's web process when there are many of them; the action then finds them as
    // WHInvokedUrlCommand::heldBytes(index), the argument itself being null.
    struct BulkArgument {
        std::string action;
        std::size_t index;
    };
    static bool registerBulkArgument(const std::string& className, const std::string& action, std::size_t index);
    static std::vector<BulkArgument> bulkArguments(const std::string& className);
};

#define WH_REGISTER_PLUGIN(Class)                                                                             \
    static const bool kWHRegistered_##Class [[maybe_unused]] = ::PluginRegistry::registerClass(              \
        #Class, [](::platform::WebView* w) -> std::unique_ptr<::WHPlugin> { return std::make_unique<Class>(w); })
