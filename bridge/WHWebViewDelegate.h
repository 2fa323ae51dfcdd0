// The web view's delegate: publishes the bridge and the console into the application's own
// frames, dispatches the page's calls, answers panels and allows navigation.
//
// The page objects come from a script injected at document start into every frame; it publishes
// them only when its frame's document is of the start page's origin. Every message carries a
// per-launch secret that only that script holds (in a closure, captured before any page script
// runs); messages without it, from any other frame or after a navigation elsewhere, are dropped.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/webview.h"

using platform::Value;

class WHViewController;

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
    // The arguments as the page passed them (texts expected; anything else counts as absent).
    void exec(const Value& callbackId, const Value& service, const Value& action, const Value& arguments);

private:
    platform::WebView* webView_;
    WHViewController* viewController_;
};

class WHWebViewDelegate : public platform::WebViewClient {
public:
    explicit WHWebViewDelegate(WHViewController* viewController);

    // Injects the page objects and registers the message handler; the trusted prefix is the
    // start page's folder (file pages) or origin, from the host.
    void install(platform::WebView& webView);

    static std::string pageWorldScript(const std::string& trustedPrefix, bool publishConsole, const std::string& secret);
    static constexpr const char* kMessageHandler = "kivano";

    void webViewScriptMessage(const std::string& handler, const std::string& body) override;
    bool webViewDecideNavigation(const std::string& url, bool mainFrame) override;
    void webViewRunAlert(const std::string& message) override;
    bool webViewRunConfirm(const std::string& message) override;
    bool webViewRunBeforeUnloadConfirm(const std::string& message) override;
    std::optional<std::string> webViewRunPrompt(const std::string& prompt, const std::string& defaultText) override;
    std::optional<std::vector<std::string>> webViewRunOpenPanel(bool allowMultiple) override;
    void webViewMainFrameDidFinishLoad(const std::string& url) override;

    void webViewAddMessageToConsole(const Value& message);

    WHViewController* viewController() const { return viewController_; }
    WHBridge* bridge() const { return bridge_.get(); }

private:
    WHViewController* viewController_;
    std::unique_ptr<WHConsole> console_;
    std::unique_ptr<WHBridge> bridge_;
    std::string secret_;
};
