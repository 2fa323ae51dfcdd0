// A web view that records what it is asked to do, for tests of the host without a display.
#pragma once

#include <string>
#include <vector>

#include "platform/webview.h"

namespace testutil {

class RecordingWebView : public platform::WebView {
public:
    void setClient(platform::WebViewClient* c) override { client = c; }
    void loadURL(const std::string& url, double timeout) override {
        loadedURL = url;
        currentURL_ = url;
        loadTimeout = timeout;
    }
    void loadHTML(const std::string& html, const std::string& base) override {
        loadedHTML = html;
        currentURL_ = "about:blank";
    }
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    std::string currentURL() const override { return currentURL_; }
    void addUserScript(const std::string& source, bool, const std::string& world) override {
        userScripts.push_back({world, source});
    }
    void installPageBridge(const platform::PageBridgeConfig& config) override { bridge = config; }
    void registerURIScheme(const std::string& scheme, platform::URISchemeHandler) override { schemes.push_back(scheme); }
    void setWebGLEnabled(bool e) override { webGL = e; }
    void setDeveloperExtrasEnabled(bool e) override { developerExtras = e; }
    void setDrawsBackground(bool d) override { drawsBackground = d; }
    void setLocalStoragePath(const std::string& p) override { localStoragePath = p; }

    void setCurrentURL(const std::string& u) { currentURL_ = u; }

    platform::WebViewClient* client = nullptr;
    std::string loadedURL, loadedHTML, localStoragePath;
    double loadTimeout = 0;
    std::vector<std::string> scripts, schemes;
    std::vector<std::pair<std::string, std::string>> userScripts;
    platform::PageBridgeConfig bridge;
    bool webGL = false, developerExtras = false, drawsBackground = true;

private:
    std::string currentURL_;
};

}  // namespace testutil
