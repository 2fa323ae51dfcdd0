#include "bridge/WHViewController.h"

#include <algorithm>
#include <cctype>

#include "bridge/WHConfigParser.h"
#include "bridge/WHWebViewDelegate.h"
#include "bridge/WHCursorMonitorService.h"
#include "bridge/WHWindowSizeCommand.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/file_folders.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/pagebridge/wire.h"
#include "platform/paths.h"
#include "platform/url_escape.h"
#include "platform/user_defaults.h"
#include "platform/webview.h"
#include "platform/window.h"
#include "platform/strings.h"

using platform::logf;

long long integerFromText(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long v = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        if (v < 1000000000000LL) v = v * 10 + (text[i] - '0');
        ++i;
    }
    return negative ? -v : v;
}

WHViewController::WHViewController() { setup(); }

WHViewController::~WHViewController() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    // Plug-ins go before the delegate they point to.
    pluginObjects.clear();
}

void WHViewController::setup() {
    if (initialized) return;
    commandDelegate_ = std::make_unique<WHCommandDelegateImpl>(this);
    platform::NotificationCenter::defaultCenter().addObserver(
        this, platform::kApplicationWillFinishLaunchingNotification, nullptr,
        [this](const platform::Notification&) { onAppDidFinishLaunching(); });
    initialized = true;
    loadSettings();
}

void WHViewController::loadSettings() {
    auto path = platform::Bundle::main().pathForResource("config", "xml");
    if (!path) return;
    WHConfigParser parser;
    if (!parser.parseFile(*path)) return;
    pluginsMap = parser.pluginsDict;
    startupPluginNames = parser.startupPluginNames;
    settings = parser.settings;
    wwwFolderName = "www";
    startPage = parser.startPage ? *parser.startPage : "index.html";
    configLoaded = true;
}

static std::string originOf(const std::string& url) {
    auto scheme = url.find("://");
    if (scheme == std::string::npos) return {};
    auto end = url.find_first_of("/?#", scheme + 3);
    return end == std::string::npos ? url : url.substr(0, end);
}

std::string WHViewController::trustedPagePrefix() const {
    if (startURL_.empty()) return {};
    if (startURL_.rfind("file://", 0) == 0) {
        return "file://" + platform::Bundle::main().resourcePath() + "/" + wwwFolderName + "/";
    }
    std::string origin = originOf(startURL_);
    return origin.empty() ? std::string() : origin + "/";
}

bool WHViewController::isTrustedPageURL(const std::string& url) const {
    return platform::pagebridge::pageURLHasPrefix(url, trustedPagePrefix());
}

void WHViewController::awakeFromNib() {
    loadStartPage();
    createStartupPlugins();
}

void WHViewController::loadStartPage() {
    if (!configLoaded) return;  // no config.xml: no page, no plug-ins, no preferences
    // 1. The start URL.
    std::string url;
    if (startPage.find("://") != std::string::npos) {
        url = startPage;
    } else if (wwwFolderName.find("://") != std::string::npos) {
        url = wwwFolderName + "/" + startPage;
    } else if (auto path = commandDelegate_->pathForResource(startPage)) {
        url = platform::escapedFileURL(*path);
    }
    // The preferences go to the web view before the load is issued (its storage folder is fixed
    // when it starts); loading is asynchronous, so the page sees them either way.
    applyPreferences();
    if (url.empty()) {
        std::string text = "ERROR: Start Page at '" + wwwFolderName + "/" + startPage + "' was not found.";
        platform::logLine(text);
        loadFromString = true;
        if (webView) webView->loadHTML("<html><body> " + text + " </body></html>", "");
    } else {
        // 2. Load the start page, with the page objects for its origin.
        startURL_ = url;
        if (webView && webViewDelegate) webViewDelegate->install(*webView);
        if (webView) webView->loadURL(url, 20.0);
    }
}

void WHViewController::createStartupPlugins() {
    if (!configLoaded) return;
    // 3. Start-up plug-ins. Loading is asynchronous and the page's calls are served from the main
    // loop, so they exist before any script of the page runs.
    for (const auto& name : startupPluginNames) getCommandInstance(name);
}

void WHViewController::applyPreferences() {
    auto get = [&](const char* name) -> const std::string* {
        auto it = settings.find(name);
        return it == settings.end() ? nullptr : &it->second;
    };
    if (webView) {
        webView->setDeveloperExtrasEnabled(platform::UserDefaults::standard().boolForKey("WebKitDeveloperExtras"));
    }
    // WebGL
    if (const std::string* v = get("EnableWebGL"); v && platform::boolFromText(*v) && webView) webView->setWebGLEnabled(true);
    // Local storage; a "~" in the folder is the home folder, never a folder below the working one.
    std::string storage;
    if (const std::string* v = get("OSXLocalStoragePath")) {
        storage = platform::expandHomePath(*v);
    } else {
        const std::string id = platform::Bundle::main().identifier();
        std::string error;
        if (auto support = platform::supportFolder(platform::SupportFolderKind::ApplicationSupport, "", &error)) {
            storage = *support;
        } else {
            logf(platform::LogLevel::Error, "error finding app support directory %s", platform::dataHome() + "/" + id + ": " + error);
            storage = platform::expandHomePath("~/Library/Application Support/" + id);
        }
    }
    if (webView) webView->setLocalStoragePath(storage);
    logf("WebStoragePath is '%s', modify in config.xml.", storage);
    // Window size
    if (const std::string* v = get("WindowSize")) {
        if (*v == "fullscreen") {
            cfgFullScreen = true;
        } else {
            std::vector<std::string> parts;
            std::size_t start = 0;
            for (;;) {
                auto x = v->find('x', start);
                parts.push_back(v->substr(start, x == std::string::npos ? std::string::npos : x - start));
                if (x == std::string::npos) break;
                start = x + 1;
            }
            if (parts.size() == 2) {
                cfgWindowSize.width = static_cast<double>(integerFromText(parts[0]));
                cfgWindowSize.height = static_cast<double>(integerFromText(parts[1]));
            }
        }
    }
    // Pointer hiding
    if (const std::string* v = get("HideMousePointer")) {
        WHCursorMonitorService::service().startWithTimeout(static_cast<double>(integerFromText(*v)));
    }
}

WHPlugin* WHViewController::getCommandInstance(const std::string& pluginName) {
    std::string key = platform::asciiLower(pluginName);
    auto mapped = pluginsMap.find(key);
    if (mapped == pluginsMap.end()) return nullptr;
    const std::string& className = mapped->second;
    if (auto it = pluginObjects.find(className); it != pluginObjects.end()) return it->second.get();
    auto plugin = PluginRegistry::create(className, webView);
    if (!plugin) {
        logf(platform::LogLevel::Error, "WHPlugin class %s (pluginName: %s) does not exist.", className, pluginName);
        return nullptr;
    }
    WHPlugin* raw = plugin.get();
    registerPlugin(std::move(plugin), className);
    return raw;
}

void WHViewController::registerPlugin(std::unique_ptr<WHPlugin> plugin, const std::string& className) {
    WHPlugin* raw = plugin.get();
    raw->setViewController(this);
    raw->setCommandDelegate(commandDelegate_.get());
    pluginObjects[className] = std::move(plugin);
    raw->pluginInitialize();
}

void WHViewController::onAppDidFinishLaunching() {
    if (window) {
        if (cfgFullScreen) {
            WHWindowSizeCommand::makeFullScreen(*window);
        } else if (cfgWindowSize.height > 0 && cfgWindowSize.width > 0) {
            WHWindowSizeCommand::setSizeOfWindow(*window, cfgWindowSize.width, cfgWindowSize.height);
        }
        window->setBackgroundBlack();
    }
    if (webView) webView->setDrawsBackground(false);
}

void WHViewController::onFullscreen() {
    if (window) WHWindowSizeCommand::toggleFullScreen(*window);
}

void WHViewController::showWindow() {
    if (window) window->show();
}
