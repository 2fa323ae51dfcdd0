// The web view: loads pages, evaluates script in the main frame, carries the page bridge (a
// native entry point in the frames of trusted documents, see PageBridgeConfig), serves custom URL
// schemes, and hands the page's panels and navigations to its client. WebKitGTK backs
// createWebView(); tests may supply their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pagebridge/wire.h"
#include "platform/value.h"

typedef struct _GtkWidget GtkWidget;

namespace platform {

// A message of the page bridge, from the channel of the application document the main frame
// shows (platform/pagebridge/program_end.h).
using BridgeMessage = pagebridge::PageMessage;

struct NavigationRequest {
    std::string url;
    bool newWindow = false;    // the page asked for a new window
    bool localScheme = false;  // file: or a scheme registered as local
};

class WebViewClient {
public:
    virtual ~WebViewClient() = default;
    virtual void webViewBridgeMessage(const BridgeMessage& message) {}
    // Answers whether the navigation may go ahead (any frame).
    virtual bool webViewDecideNavigation(const NavigationRequest& request) { return true; }
    virtual void webViewRunAlert(const std::string& message) {}
    virtual bool webViewRunConfirm(const std::string& message) { return false; }
    virtual bool webViewRunBeforeUnloadConfirm(const std::string& message) { return true; }
    virtual std::optional<std::string> webViewRunPrompt(const std::string& prompt, const std::string& defaultText) {
        return std::nullopt;
    }
    // Absent on cancel.
    virtual std::optional<std::vector<std::string>> webViewRunOpenPanel(bool allowMultiple) { return std::nullopt; }
    // The main frame now shows a new document (its URL).
    virtual void webViewMainFrameCommitted(const std::string& url) {}
    virtual void webViewMainFrameDidFinishLoad(const std::string& url) {}
    // The page's web process ended (crashed, killed): its document and all it held are gone.
    virtual void webViewWebProcessTerminated() {}
};

// The page bridge (platform/pagebridge/). In each frame whose document's URL has the trusted prefix
// (decided in the web process when the frame's script window is set up, before any script of the
// document runs), the page-world script runs with the native entry object, which exists nowhere
// else. The view takes the page's messages only on the channel of the application document its
// main frame committed, and sends there only: calls from any other document reach no client.
struct PageBridgeConfig {
    std::string trustedPrefix;
    // window.console is the program's (its output goes to the log).
    bool publishConsole = true;
    // Argument positions whose bytes (pagebridge::kBulkBytes or more of them) the web process
    // keeps instead of sending: the call then names them (pagebridge::HeldBytes), and the view
    // hands them to a descriptor on request (writeHeldBytes).
    using BulkArgument = pagebridge::BulkArgument;
    std::vector<BulkArgument> bulkArguments;
};

using PageBytes = pagebridge::PageBytes;
using PageDelivery = pagebridge::PageDelivery;

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
    // The URL of the document the web view's main frame shows ("" when unknown).
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
    // The same, but only when the main frame committed a document of the page bridge's trusted
    // prefix and, as the script is about to run, still shows one (decided again in the web
    // process); otherwise it is dropped. It goes on that document's channel, in order with
    // everything else for it, and waits for the channel while it is not open yet.
    virtual void evaluateScriptInTrustedPage(const std::string& script) { evaluateScript(script); }
    // The scripts in order, each an evaluation of its own, under the same condition, decided
    // for each script.
    virtual void evaluateScriptsInTrustedPage(const std::vector<std::string>& scripts) {
        for (const auto& s : scripts) evaluateScriptInTrustedPage(s);
    }
    // Scripts and bytes in order, under the same condition. Bytes reach the page only where
    // carriesBytes(); elsewhere they are dropped (their acknowledgement never comes).
    virtual void deliverToTrustedPage(std::vector<PageDelivery> items) {
        std::vector<std::string> scripts;
        for (const auto& item : items) {
            if (!item.bytes) scripts.push_back(item.script);
        }
        if (!scripts.empty()) evaluateScriptsInTrustedPage(scripts);
    }
    // Whether bytes can go between descriptors and the page outside the messages (the page
    // bridge's web-process extension is there).
    virtual bool carriesBytes() const { return false; }
    // Main thread: has the web process write the bytes it holds under the token (pagebridge::HeldBytes)
    // into `fd`, then the count (or a negative error number) as a 64-bit integer into `ackFd`.
    // The descriptors are borrowed. Without the document's open channel nothing is sent, and the
    // caller's copies closing end the wait.
    virtual void writeHeldBytes(const std::string& token, int fd, int ackFd) {}
    // Main thread: the bytes held under the token are not needed.
    virtual void releaseHeldBytes(const std::string& token) {}
    // The URL being loaded or shown (it changes when a load starts).
    virtual std::string currentURL() const = 0;
    // The URL of the document the main frame shows (it changes when a load commits).
    virtual std::string committedURL() const { return currentURL(); }

    // Scripts injected at document start; `world` empty for the page's own world.
    virtual void addUserScript(const std::string& source, bool allFrames, const std::string& world) = 0;
    // Set before the first load; it applies to every web process of the view.
    virtual void installPageBridge(const PageBridgeConfig& config) {}
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

private:
    friend GtkWidget* gtkWidgetOf(WebView& view);
    friend class Window;
    virtual GtkWidget* widget() { return nullptr; }
};

std::unique_ptr<WebView> createWebView();

}  // namespace platform
