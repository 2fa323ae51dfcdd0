// The web view: loads pages, evaluates script in the main frame, injects user scripts into
// frames, receives script messages, serves custom URL schemes, and hands the page's panels and
// navigations to its client. WebKitGTK backs createWebView(); tests may supply their own.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/value.h"

typedef struct _GtkWidget GtkWidget;

namespace platform {

class WebViewClient {
public:
    virtual ~WebViewClient() = default;
    // A message posted to a registered handler (the message's text).
    virtual void webViewScriptMessage(const std::string& handler, const std::string& body) {}
    // Answers whether the navigation may go ahead.
    virtual bool webViewDecideNavigation(const std::string& url, bool mainFrame) { return true; }
    virtual void webViewRunAlert(const std::string& message) {}
    virtual bool webViewRunConfirm(const std::string& message) { return false; }
    virtual bool webViewRunBeforeUnloadConfirm(const std::string& message) { return true; }
    virtual std::optional<std::string> webViewRunPrompt(const std::string& prompt, const std::string& defaultText) {
        return std::nullopt;
    }
    // Absent on cancel.
    virtual std::optional<std::vector<std::string>> webViewRunOpenPanel(bool allowMultiple) { return std::nullopt; }
    virtual void webViewMainFrameDidFinishLoad(const std::string& url) {}
    virtual void webViewWebProcessTerminated() {}
};

// An HTTP authentication challenge of a load in the web view.
struct AuthenticationChallenge {
    std::string host;
    unsigned port = 0;
    std::string realm;
    bool forProxy = false;
    bool retrying = false;
};
enum class AuthenticationAnswer {
    Default,                    // the web view's own handling (its credential dialog)
    ContinueWithoutCredential,  // the load goes on unauthenticated; no dialog
    Cancel,                     // the load is cancelled
};
class WebViewResourceLoadDelegate {
public:
    virtual ~WebViewResourceLoadDelegate() = default;
    virtual AuthenticationAnswer webViewDidReceiveAuthenticationChallenge(const AuthenticationChallenge& challenge) = 0;
};

struct URISchemeResponse {
    int status = 200;
    std::string statusText = "OK";
    std::string contentType;
    std::map<std::string, std::string> headers;
    Bytes body;
};
struct URISchemeRequest {
    std::string url;
    std::string method;
    std::map<std::string, std::string> headers;
    // The URL of the page shown in the web view that made the request ("" when unknown).
    std::string pageURL;
};
// How pages may use a custom scheme.
struct URISchemeOptions {
    bool local = false;        // only pages of local schemes (file:, local custom schemes) may load it
    bool secure = false;       // counts as secure (no mixed-content blocking from secure pages)
    bool corsEnabled = false;  // script may fetch it, subject to the response's CORS headers
};
// The handler may answer at once or later, from any thread, by calling `respond` once.
using URISchemeHandler = std::function<void(const URISchemeRequest& request, std::function<void(URISchemeResponse)> respond)>;

struct WebViewOptions {
    std::string localStoragePath;  // empty: the default per-user data folder
};

class WebView {
public:
    virtual ~WebView() = default;

    virtual void setClient(WebViewClient* client) = 0;
    virtual void loadURL(const std::string& url, double timeoutSeconds) = 0;
    virtual void loadHTML(const std::string& html, const std::string& baseURL) = 0;
    // Evaluates in the main frame's page world; the value is discarded, errors reach the page.
    virtual void evaluateScript(const std::string& script) = 0;
    virtual std::string currentURL() const = 0;

    // Scripts injected at document start; `world` empty for the page's own world.
    virtual void addUserScript(const std::string& source, bool allFrames, const std::string& world) = 0;
    virtual void registerMessageHandler(const std::string& name, const std::string& world) = 0;
    virtual void registerURIScheme(const std::string& scheme, URISchemeHandler handler) = 0;
    virtual void registerURIScheme(const std::string& scheme, URISchemeHandler handler, const URISchemeOptions& options) {
        registerURIScheme(scheme, std::move(handler));
    }

    virtual void setWebGLEnabled(bool enabled) = 0;
    virtual void setDeveloperExtrasEnabled(bool enabled) = 0;
    virtual void setDrawsBackground(bool draws) = 0;
    virtual void setLocalStoragePath(const std::string& path) = 0;

    // Answers the authentication challenges of every load; null restores the default handling.
    virtual void setResourceLoadDelegate(WebViewResourceLoadDelegate* delegate) {}
    virtual WebViewResourceLoadDelegate* resourceLoadDelegate() const { return nullptr; }

    virtual GtkWidget* widget() { return nullptr; }
};

std::unique_ptr<WebView> createWebView();

}  // namespace platform
