// The web view's delegate: publishes the bridge and the console into the application's own
// frames, dispatches the page's calls, answers panels, decides navigations, and brings the page
// back when its web process ends.
//
// The page objects exist only in frames whose document is one of the application's own: the web
// view's bridge (platform::PageBridgeConfig, platform/pagebridge/) decides that in the web process,
// per frame and before any script of the document runs, and takes messages only from the channel
// of the application document its main frame committed. A message is checked again here (the
// committed document, its size, the nesting of its arguments) before anything of it is parsed.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/webview.h"

using platform::Value;

class WHViewController;
class WHHeldBytes;

// Posted with the web view as object when its main frame has finished loading.
inline constexpr const char* kWebViewMainFrameDidFinishLoadNotification = "WHWebViewMainFrameDidFinishLoadNotification";

class WHConsole {
public:
    void log(const std::string& m);
    void trace(const std::string& m);
    void debug(const std::string& m);
    void info(const std::string& m);
    void warn(const std::string& m);
    void error(const std::string& m);
    // By operation name; answers false for any other name.
    bool call(const std::string& op, const std::string& message);
};

class WHBridge {
public:
    WHBridge(platform::WebView* webView, WHViewController* viewController)
        : webView_(webView), viewController_(viewController) {}
    // The arguments as the page passed them (texts expected; anything else counts as absent);
    // `held`: bytes of the argument at `heldIndex` that stayed in the web process.
    void exec(const Value& callbackId, const Value& service, const Value& action, Value arguments,
              std::shared_ptr<WHHeldBytes> held = nullptr, std::size_t heldIndex = 0);

private:
    platform::WebView* webView_;
    WHViewController* viewController_;
};

class WHWebViewDelegate : public platform::WebViewClient {
public:
    explicit WHWebViewDelegate(WHViewController* viewController);

    // Gives the web view the page bridge for the trusted prefix (the start page's folder for
    // file pages, else its origin, from the host).
    void install(platform::WebView& webView);

    // The largest message of a page, all its texts together.
    static constexpr std::size_t kMaxPageMessageBytes = 32u << 20;
    // The deepest nesting of a call's argument array (the array itself is one level).
    static constexpr std::size_t kMaxPageValueDepth = 256;

    void webViewBridgeMessage(const platform::BridgeMessage& message) override;
    bool webViewDecideNavigation(const platform::NavigationRequest& request) override;
    void webViewRunAlert(const std::string& message) override;
    bool webViewRunConfirm(const std::string& message) override;
    bool webViewRunBeforeUnloadConfirm(const std::string& message) override;
    std::optional<std::string> webViewRunPrompt(const std::string& prompt, const std::string& defaultText) override;
    std::optional<std::vector<std::string>> webViewRunOpenPanel(bool allowMultiple) override;
    void webViewMainFrameCommitted(const std::string& url) override;
    void webViewMainFrameDidFinishLoad(const std::string& url) override;
    void webViewWebProcessTerminated() override;

    // So many ends of the page's web process within the window show a notice instead of the page.
    static constexpr std::size_t kTerminationsBeforeNotice = 3;
    static constexpr std::chrono::seconds kTerminationWindow{60};

    void webViewAddMessageToConsole(const Value& message);

    WHViewController* viewController() const { return viewController_; }
    WHBridge* bridge() const { return bridge_.get(); }

private:
    void execMessage(const platform::pagebridge::Call& call);
    // The argument positions of config.xml's services whose bytes may stay in the web process.
    std::vector<platform::PageBridgeConfig::BulkArgument> bulkArguments() const;
    // Logs why a call did not reach its plug-in and answers its callback with a JSON error.
    void refuseCall(const std::optional<std::string>& callbackId, const std::string& why);

    WHViewController* viewController_;
    std::unique_ptr<WHConsole> console_;
    std::unique_ptr<WHBridge> bridge_;
    std::deque<std::chrono::steady_clock::time_point> terminations_;
};
