#include "bridge/WHPlugin.h"

#include <mutex>

#include "platform/application.h"

using platform::NotificationCenter;

WHPlugin::WHPlugin(platform::WebView* webView) {
    auto& c = NotificationCenter::defaultCenter();
    c.addObserver(this, platform::kApplicationWillTerminateNotification, nullptr,
                  [this](const platform::Notification&) { onAppTerminate(); });
    c.addObserver(this, WHPluginHandleOpenURLNotification, nullptr,
                  [this](const platform::Notification& n) { handleOpenURL(n); });
    c.addObserver(this, WHPluginResetNotification, webView, [this](const platform::Notification&) { onReset(); });
    webView_ = webView;
}

WHPlugin::~WHPlugin() { NotificationCenter::defaultCenter().removeObserver(this); }

void WHPlugin::dispose() {
    viewController_ = nullptr;
    commandDelegate_ = nullptr;
    webView_ = nullptr;
}

const WHPlugin::ActionTable& WHPlugin::actions() const {
    static const ActionTable none;
    return none;
}

bool WHPlugin::hasAction(const std::string& name) const { return actions().count(name) != 0; }

void WHPlugin::invokeAction(const std::string& name, const WHInvokedUrlCommand& command) {
    const auto& table = actions();
    auto it = table.find(name);
    if (it != table.end()) it->second(*this, command);
}

platform::ApplicationDelegate* WHPlugin::appDelegate() const { return platform::Application::shared().delegate(); }

namespace {
std::mutex& registryMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, PluginRegistry::Factory>& registry() {
    static std::map<std::string, PluginRegistry::Factory> r;
    return r;
}
}  // namespace

bool PluginRegistry::registerClass(const std::string& className, Factory factory) {
    std::lock_guard lock(registryMutex());
    registry()[className] = std::move(factory);
    return true;
}

std::unique_ptr<WHPlugin> PluginRegistry::create(const std::string& className, platform::WebView* webView) {
    Factory f;
    {
        std::lock_guard lock(registryMutex());
        auto it = registry().find(className);
        if (it == registry().end()) return nullptr;
        f = it->second;
    }
    return f(webView);
}

bool PluginRegistry::has(const std::string& className) {
    std::lock_guard lock(registryMutex());
    return registry().count(className) != 0;
}

namespace {
std::map<std::string, std::vector<PluginRegistry::BulkArgument>>& bulkRegistry() {
    static std::map<std::string, std::vector<PluginRegistry::BulkArgument>> r;
    return r;
}
}  // namespace

bool PluginRegistry::registerBulkArgument(const std::string& className, const std::string& action, std::size_t index) {
    std::lock_guard lock(registryMutex());
    bulkRegistry()[className].push_back({action, index});
    return true;
}

std::vector<PluginRegistry::BulkArgument> PluginRegistry::bulkArguments(const std::string& className) {
    std::lock_guard lock(registryMutex());
    auto it = bulkRegistry().find(className);
    return it == bulkRegistry().end() ? std::vector<BulkArgument>{} : it->second;
}
