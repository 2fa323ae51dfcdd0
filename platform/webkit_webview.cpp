// WebKitGTK back end of the web view. The WebKit view is created on first real use, so that
// settings given before (local storage folder) apply to its web context; until then user
// scripts and schemes are kept and applied at creation.
//
// The page bridge (platform/pagebridge/) lives in a web-process extension of our own (the
// "web-extensions" folder beside this library) and in the program's end that this view carries:
// the view hands the extension its start data when a web process starts, tells the program's end
// which document its main frame committed and when its web process ended, and carries the
// engine messages that admit a page to its channel.
#include <gtk/gtk.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/file_folders.h"
#include "platform/log.h"
#include "platform/modules.h"
#include "platform/pagebridge/program_end.h"
#include "platform/paths.h"
#include "platform/webview.h"

namespace platform {

namespace {

struct UserScriptSpec {
    std::string source;
    bool allFrames;
    std::string world;
};

class WebKitView;

struct SchemeEntry {
    WebKitView* owner;
    URISchemeHandler handler;
};

// The folder of the web-process extension: "web-extensions" beside the library holding this code
// (the build folder, or the installed library folder).
std::string webExtensionsDirectory() {
    std::string folder = codeLibraryFolder();
    return folder.empty() ? std::string() : folder + "/web-extensions";
}

class WebKitView final : public WebView, private pagebridge::ProgramEnd::Engine {
public:
    WebKitView() {
        box_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        g_object_ref_sink(box_);
    }

    ~WebKitView() override {
        if (view_) {
            g_signal_handlers_disconnect_by_data(view_, this);
            g_signal_handlers_disconnect_by_data(webkit_web_view_get_user_content_manager(view_), this);
        }
        gtk_widget_destroy(box_);
        g_object_unref(box_);
        if (context_) {
            g_signal_handlers_disconnect_by_data(context_, this);
            g_object_unref(context_);
        }
    }

    void setClient(WebViewClient* client) override { client_ = client; }

    void loadURL(const std::string& url, double timeoutSeconds) override {
        ensure();
        // WebKitGTK has no per-request time-out; the load runs until the network layer ends it.
        (void)timeoutSeconds;
        webkit_web_view_load_uri(view_, url.c_str());
    }

    void loadHTML(const std::string& html, const std::string& baseURL) override {
        ensure();
        webkit_web_view_load_html(view_, html.c_str(), baseURL.empty() ? nullptr : baseURL.c_str());
    }

    void evaluateScript(const std::string& script) override {
        ensure();
        webkit_web_view_evaluate_javascript(view_, script.data(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                            nullptr, nullptr, nullptr);
    }

    void evaluateScriptInTrustedPage(const std::string& script) override { evaluateScriptsInTrustedPage({script}); }

    void evaluateScriptsInTrustedPage(const std::vector<std::string>& scripts) override {
        std::vector<PageDelivery> items;
        items.reserve(scripts.size());
        for (const auto& script : scripts) items.push_back({script, std::nullopt});
        deliverToTrustedPage(items);
    }

    void deliverToTrustedPage(std::vector<PageDelivery> items) override {
        // Without a view there is no document; the program's end decides on the one committed.
        if (!view_ || bridge_.trustedPrefix.empty() || items.empty()) return;
        bridgeEnd_.deliver(std::move(items));
    }

    // Asked from any thread.
    bool carriesBytes() const override { return extensionPresent_ && bridgeInstalled_; }

    void writeHeldBytes(const std::string& token, int fd, int ackFd) override { bridgeEnd_.writeHeld(token, fd, ackFd); }

    void releaseHeldBytes(const std::string& token) override { bridgeEnd_.releaseHeld(token); }

    std::string currentURL() const override {
        if (!view_) return {};
        const char* uri = webkit_web_view_get_uri(view_);
        return uri ? uri : "";
    }

    std::string committedURL() const override { return committedURL_; }

    void addUserScript(const std::string& source, bool allFrames, const std::string& world) override {
        scripts_.push_back({source, allFrames, world});
        if (view_) applyScript(scripts_.back());
    }

    void installPageBridge(const PageBridgeConfig& config) override {
        bridge_ = config;
        bridgeInstalled_ = !config.trustedPrefix.empty();
    }

    void registerURIScheme(const std::string& scheme, URISchemeHandler handler) override {
        // A second registration of a scheme replaces its handler.
        if (auto it = schemes_.find(scheme); it != schemes_.end()) {
            it->second->handler = std::move(handler);
            return;
        }
        auto* entry = new SchemeEntry{this, std::move(handler)};
        schemes_[scheme] = entry;
        ensureContext();
        webkit_web_context_register_uri_scheme(context_, scheme.c_str(), &WebKitView::onScheme, entry,
                                               [](gpointer p) { delete static_cast<SchemeEntry*>(p); });
    }

    void registerURIScheme(const std::string& scheme, URISchemeHandler handler, const URISchemeOptions& options) override {
        ensureContext();
        WebKitSecurityManager* sm = webkit_web_context_get_security_manager(context_);
        if (options.local) webkit_security_manager_register_uri_scheme_as_local(sm, scheme.c_str());
        if (options.secure) webkit_security_manager_register_uri_scheme_as_secure(sm, scheme.c_str());
        if (options.corsEnabled) webkit_security_manager_register_uri_scheme_as_cors_enabled(sm, scheme.c_str());
        registerURIScheme(scheme, std::move(handler));
    }

    void setWebGLEnabled(bool enabled) override {
        webGL_ = enabled;
        if (view_) webkit_settings_set_enable_webgl(webkit_web_view_get_settings(view_), enabled);
    }

    void setDeveloperExtrasEnabled(bool enabled) override {
        devExtras_ = enabled;
        if (view_) webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(view_), enabled);
    }

    void setDrawsBackground(bool draws) override {
        drawsBackground_ = draws;
        if (view_) applyBackground();
    }

    void setLocalStoragePath(const std::string& path) override {
        if (context_) {
            logf("Local storage folder %s is set after the web view started; it applies from the next launch", path);
            return;
        }
        localStoragePath_ = path;
    }

    void setResourceLoadDelegate(WebViewResourceLoadDelegate* delegate) override { resourceLoadDelegate_ = delegate; }
    WebViewResourceLoadDelegate* resourceLoadDelegate() const override { return resourceLoadDelegate_; }

    GtkWidget* widget() override { return box_; }

private:
    // The program's end admits the committed document's web process to a channel.
    void admit(const pagebridge::Admit& message) override {
        if (!view_) return;
        pagebridge::Encoded e = pagebridge::encode(message);
        webkit_web_view_send_message_to_page(view_, webkit_user_message_new(e.name, e.params), nullptr, nullptr, nullptr);
    }

    void ensureContext() {
        if (context_) return;
        // WebKit's data (web storage, HSTS) and caches go to the application's folders; left to
        // itself it would pick folders named after the program.
        std::string appData = applicationFolder(SupportFolderKind::ApplicationSupport);
        std::string data = localStoragePath_.empty() ? appData : localStoragePath_;
        if (data != appData && !makeDirs(data)) logf("unable to create folder %s: %s", data, std::string(std::strerror(errno)));
        std::string cache = applicationFolder(SupportFolderKind::Caches);
        g_autoptr(WebKitWebsiteDataManager) dm = webkit_website_data_manager_new(
            "base-data-directory", data.c_str(), "base-cache-directory", cache.c_str(), nullptr);
        context_ = webkit_web_context_new_with_website_data_manager(dm);
        webkit_web_context_set_cache_model(context_, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
        // Every cookie is taken, third-party ones included (the web application's remote sessions
        // are third-party to its own pages), and kept across launches in the application's data
        // folder; when that folder cannot be made, beside the web storage.
        WebKitCookieManager* cookies = webkit_web_context_get_cookie_manager(context_);
        webkit_cookie_manager_set_accept_policy(cookies, WEBKIT_COOKIE_POLICY_ACCEPT_ALWAYS);
        std::string cookieFolder = isDirectory(appData) ? appData : data;
        webkit_cookie_manager_set_persistent_storage(cookies, (cookieFolder + "/cookies.sqlite").c_str(),
                                                     WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
        // The page bridge's extension, given its configuration as each web process starts.
        std::string extensions = webExtensionsDirectory();
        if (!g_file_test(extensions.c_str(), G_FILE_TEST_IS_DIR)) {
            logf("Page bridge extension folder %s is missing: pages cannot reach plug-ins", extensions);
        }
        extensionPresent_ = g_file_test((extensions + "/libkivano_web_extension.so").c_str(), G_FILE_TEST_IS_REGULAR);
        webkit_web_context_set_web_extensions_directory(context_, extensions.c_str());
        g_signal_connect(context_, "initialize-web-extensions", G_CALLBACK(&WebKitView::onInitializeWebExtensions), this);
    }

    // The application's folder of the kind, created (mode 0700) when missing. When it cannot be
    // made, its path all the same, so that WebKit does not fall back to folders of its own.
    static std::string applicationFolder(SupportFolderKind kind) {
        std::string error;
        if (auto path = supportFolder(kind, "", &error)) return *path;
        std::string path = (kind == SupportFolderKind::ApplicationSupport ? dataHome() : cacheHome()) + "/" +
                           Bundle::main().identifier();
        logf("unable to create folder %s: %s", path, error);
        return path;
    }

    static bool isDirectory(const std::string& path) { return g_file_test(path.c_str(), G_FILE_TEST_IS_DIR); }

    void ensure() {
        if (view_) return;
        ensureContext();
        g_autoptr(WebKitUserContentManager) ucm = webkit_user_content_manager_new();
        view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_, "user-content-manager", ucm, nullptr));
        WebKitSettings* s = webkit_web_view_get_settings(view_);
        webkit_settings_set_enable_webgl(s, webGL_);
        webkit_settings_set_enable_developer_extras(s, devExtras_);
        webkit_settings_set_enable_html5_local_storage(s, TRUE);
        // The application's own pages are files of one folder; they load one another (frames,
        // scripts, data) and see their own script errors. File documents share one origin, so
        // the client refuses every other local document (webViewDecideNavigation).
        webkit_settings_set_allow_file_access_from_file_urls(s, TRUE);
        webkit_settings_set_javascript_can_open_windows_automatically(s, FALSE);
        for (const auto& sc : scripts_) applyScript(sc);
        g_signal_connect(view_, "decide-policy", G_CALLBACK(&WebKitView::onDecidePolicy), this);
        g_signal_connect(view_, "script-dialog", G_CALLBACK(&WebKitView::onScriptDialog), this);
        g_signal_connect(view_, "run-file-chooser", G_CALLBACK(&WebKitView::onFileChooser), this);
        g_signal_connect(view_, "authenticate", G_CALLBACK(&WebKitView::onAuthenticate), this);
        g_signal_connect(view_, "load-changed", G_CALLBACK(&WebKitView::onLoadChanged), this);
        g_signal_connect(view_, "web-process-terminated", G_CALLBACK(&WebKitView::onTerminated), this);
        g_signal_connect(view_, "user-message-received", G_CALLBACK(&WebKitView::onUserMessage), this);
        applyBackground();
        gtk_box_pack_start(GTK_BOX(box_), GTK_WIDGET(view_), TRUE, TRUE, 0);
        gtk_widget_show(GTK_WIDGET(view_));
    }

    void applyBackground() {
        GdkRGBA c = drawsBackground_ ? GdkRGBA{1, 1, 1, 1} : GdkRGBA{0, 0, 0, 0};
        webkit_web_view_set_background_color(view_, &c);
    }

    void applyScript(const UserScriptSpec& sc) {
        WebKitUserContentManager* ucm = webkit_web_view_get_user_content_manager(view_);
        WebKitUserContentInjectedFrames frames =
            sc.allFrames ? WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES : WEBKIT_USER_CONTENT_INJECT_TOP_FRAME;
        g_autoptr(WebKitUserScript) us =
            sc.world.empty()
                ? webkit_user_script_new(sc.source.c_str(), frames, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr)
                : webkit_user_script_new_for_world(sc.source.c_str(), frames, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START,
                                                   sc.world.c_str(), nullptr, nullptr);
        webkit_user_content_manager_add_script(ucm, us);
    }

    static void onInitializeWebExtensions(WebKitWebContext* context, gpointer self) {
        auto* v = static_cast<WebKitView*>(self);
        pagebridge::StartData data{v->bridge_.trustedPrefix, std::string(pagebridge::pageWorldScript()),
                                   v->bridge_.publishConsole, v->bridge_.bulkArguments};
        webkit_web_context_set_web_extensions_initialization_user_data(context, pagebridge::encode(data));
    }

    // The extension's one message through the engine: the page's channel. Anything else it could
    // say goes on that channel, so no other message of the page is read here.
    static gboolean onUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer self) {
        auto* v = static_cast<WebKitView*>(self);
        const char* name = webkit_user_message_get_name(message);
        if (!name) return FALSE;
        std::vector<int> copies;
        if (GUnixFDList* list = webkit_user_message_get_fd_list(message)) {
            for (gint i = 0; i < g_unix_fd_list_get_length(list); ++i) copies.push_back(g_unix_fd_list_get(list, i, nullptr));
        }
        pagebridge::ReceivedFds fds(std::move(copies));
        auto open = pagebridge::decodeChannelOpen(name, webkit_user_message_get_parameters(message), fds);
        if (!open) return FALSE;
        v->bridgeEnd_.channelAnnounced(std::move(*open));
        return TRUE;
    }

    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                   gpointer self) {
        auto* v = static_cast<WebKitView*>(self);
        if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
        auto* nav = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(nav);
        WebKitURIRequest* req = webkit_navigation_action_get_request(action);
        NavigationRequest request;
        request.url = webkit_uri_request_get_uri(req) ? webkit_uri_request_get_uri(req) : "";
        request.newWindow = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION;
        if (const char* scheme = g_uri_peek_scheme(request.url.c_str())) {
            WebKitSecurityManager* sm = webkit_web_context_get_security_manager(v->context_);
            request.localScheme = std::strcmp(scheme, "file") == 0 || webkit_security_manager_uri_scheme_is_local(sm, scheme);
        }
        bool allow = v->client_ ? v->client_->webViewDecideNavigation(request) : true;
        if (allow) {
            webkit_policy_decision_use(decision);
        } else {
            webkit_policy_decision_ignore(decision);
        }
        return TRUE;
    }

    static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer self) {
        auto* v = static_cast<WebKitView*>(self);
        if (!v->client_) return FALSE;
        std::string msg = webkit_script_dialog_get_message(dialog) ? webkit_script_dialog_get_message(dialog) : "";
        switch (webkit_script_dialog_get_dialog_type(dialog)) {
            case WEBKIT_SCRIPT_DIALOG_ALERT:
                v->client_->webViewRunAlert(msg);
                break;
            case WEBKIT_SCRIPT_DIALOG_CONFIRM:
                webkit_script_dialog_confirm_set_confirmed(dialog, v->client_->webViewRunConfirm(msg));
                break;
            case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
                webkit_script_dialog_confirm_set_confirmed(dialog, v->client_->webViewRunBeforeUnloadConfirm(msg));
                break;
            case WEBKIT_SCRIPT_DIALOG_PROMPT: {
                const char* def = webkit_script_dialog_prompt_get_default_text(dialog);
                auto answer = v->client_->webViewRunPrompt(msg, def ? def : "");
                // Without an answer the page gets null: the text is left unset.
                if (answer) webkit_script_dialog_prompt_set_text(dialog, answer->c_str());
                break;
            }
        }
        return TRUE;
    }

    static gboolean onFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, gpointer self) {
        auto* v = static_cast<WebKitView*>(self);
        if (!v->client_) return FALSE;
        auto paths = v->client_->webViewRunOpenPanel(webkit_file_chooser_request_get_select_multiple(request));
        if (!paths) {
            webkit_file_chooser_request_cancel(request);
            return TRUE;
        }
        std::vector<const char*> list;
        for (const auto& p : *paths) list.push_back(p.c_str());
        list.push_back(nullptr);
        webkit_file_chooser_request_select_files(request, list.data());
        return TRUE;
    }

    static gboolean onAuthenticate(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer self) {
        auto* v = static_cast<WebKitView*>(self);
        if (!v->resourceLoadDelegate_) return FALSE;
        AuthenticationChallenge challenge;
        if (const char* host = webkit_authentication_request_get_host(request)) challenge.host = host;
        challenge.port = webkit_authentication_request_get_port(request);
        if (const char* realm = webkit_authentication_request_get_realm(request)) challenge.realm = realm;
        challenge.forProxy = webkit_authentication_request_is_for_proxy(request);
        challenge.retrying = webkit_authentication_request_is_retry(request);
        switch (v->resourceLoadDelegate_->webViewDidReceiveAuthenticationChallenge(challenge)) {
            case AuthenticationAnswer::Default:
                return FALSE;
            case AuthenticationAnswer::ContinueWithoutCredential:
                webkit_authentication_request_authenticate(request, nullptr);
                return TRUE;
            case AuthenticationAnswer::Cancel:
                webkit_authentication_request_cancel(request);
                return TRUE;
        }
        return FALSE;
    }

    static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
        auto* v = static_cast<WebKitView*>(self);
        const char* uri = webkit_web_view_get_uri(view);
        if (event == WEBKIT_LOAD_COMMITTED) {
            // The program's own record of the document shown decides whether its page may talk;
            // what the previous document sent is read first, while the record still names it.
            const std::string url = uri ? uri : "";
            v->bridgeEnd_.documentCommitted(pagebridge::pageURLHasPrefix(url, v->bridge_.trustedPrefix));
            v->committedURL_ = url;
            if (v->client_) v->client_->webViewMainFrameCommitted(v->committedURL_);
        }
        if (event != WEBKIT_LOAD_FINISHED || !v->client_) return;
        v->client_->webViewMainFrameDidFinishLoad(uri ? uri : "");
    }

    static void onTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer self) {
        auto* v = static_cast<WebKitView*>(self);
        logf("Web process ended (reason %d)", static_cast<int>(reason));
        // What the dead page held is no one's now; the client may load a page anew.
        v->committedURL_.clear();
        v->bridgeEnd_.webProcessEnded();
        if (v->client_) v->client_->webViewWebProcessTerminated();
    }

    static void onScheme(WebKitURISchemeRequest* request, gpointer data) {
        auto* entry = static_cast<SchemeEntry*>(data);
        URISchemeRequest req;
        req.url = webkit_uri_scheme_request_get_uri(request) ? webkit_uri_scheme_request_get_uri(request) : "";
        // The document shown, not the one a load in progress may bring.
        if (webkit_uri_scheme_request_get_web_view(request) == entry->owner->view_) req.pageURL = entry->owner->committedURL_;
        req.method = webkit_uri_scheme_request_get_http_method(request) ? webkit_uri_scheme_request_get_http_method(request) : "GET";
        if (SoupMessageHeaders* hs = webkit_uri_scheme_request_get_http_headers(request)) {
            SoupMessageHeadersIter it;
            soup_message_headers_iter_init(&it, hs);
            const char* name;
            const char* value;
            while (soup_message_headers_iter_next(&it, &name, &value)) req.headers[name] = value;
        }
        g_object_ref(request);
        auto responded = std::make_shared<std::atomic<bool>>(false);
        entry->handler(req, [request, responded](URISchemeResponse resp) {
            if (responded->exchange(true)) return;  // one answer per request
            auto finish = [request, resp = std::move(resp)]() {
                g_autoptr(GBytes) bytes = g_bytes_new(resp.body.data(), resp.body.size());
                g_autoptr(GInputStream) stream = g_memory_input_stream_new_from_bytes(bytes);
                g_autoptr(WebKitURISchemeResponse) r = webkit_uri_scheme_response_new(stream, static_cast<gint64>(resp.body.size()));
                webkit_uri_scheme_response_set_status(r, static_cast<guint>(resp.status), resp.statusText.c_str());
                if (!resp.contentType.empty()) webkit_uri_scheme_response_set_content_type(r, resp.contentType.c_str());
                SoupMessageHeaders* hs = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
                for (const auto& [k, val] : resp.headers) soup_message_headers_replace(hs, k.c_str(), val.c_str());
                if (!resp.contentType.empty()) soup_message_headers_replace(hs, "Content-Type", resp.contentType.c_str());
                webkit_uri_scheme_response_set_http_headers(r, hs);
                webkit_uri_scheme_request_finish_with_response(request, r);
                g_object_unref(request);  // the reference taken when the request came
            };
            if (isMainThread()) {
                finish();
            } else {
                dispatchMain(std::move(finish));
            }
        });
    }

    GtkWidget* box_ = nullptr;
    WebKitWebView* view_ = nullptr;
    WebKitWebContext* context_ = nullptr;
    WebViewClient* client_ = nullptr;
    WebViewResourceLoadDelegate* resourceLoadDelegate_ = nullptr;
    std::vector<UserScriptSpec> scripts_;
    PageBridgeConfig bridge_;
    std::string committedURL_;
    std::map<std::string, SchemeEntry*> schemes_;  // owned by the web context
    std::string localStoragePath_;
    bool webGL_ = false;
    bool devExtras_ = false;
    bool drawsBackground_ = true;
    // The program's end of the page bridge.
    pagebridge::ProgramEnd bridgeEnd_{*this, [this](const BridgeMessage& m) {
                                          if (client_) client_->webViewBridgeMessage(m);
                                      }};
    std::atomic<bool> extensionPresent_{false};
    std::atomic<bool> bridgeInstalled_{false};
};

}  // namespace

std::unique_ptr<WebView> createWebView() { return std::make_unique<WebKitView>(); }

}  // namespace platform
