// The main window's controller and the host of the web application: config.xml, start page,
// plug-in registry, preferences, window size at launch.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bridge/WHCommandDelegateImpl.h"
#include "bridge/WHPlugin.h"

namespace platform {
class WebView;
class Window;
}
class WHWebViewDelegate;

struct WHSize {
    double width = 0;
    double height = 0;
};

class WHViewController {
public:
    // Runs the set-up: command delegate, launch observer, config.xml.
    WHViewController();
    virtual ~WHViewController();
    WHViewController(const WHViewController&) = delete;
    WHViewController& operator=(const WHViewController&) = delete;

    // Start page, start-up plug-ins, preferences: loadStartPage(), then createStartupPlugins().
    void awakeFromNib();
    // The preferences, then the start page's load (or the error page).
    void loadStartPage();
    // The start-up plug-ins of config.xml, in order.
    void createStartupPlugins();

    WHPlugin* getCommandInstance(const std::string& pluginName);
    void registerPlugin(std::unique_ptr<WHPlugin> plugin, const std::string& className);
    // The live plug-in of the class, whatever config.xml calls it; null when none was made.
    template <class T>
    T* livePlugin() const {
        for (const auto& [name, plugin] : pluginObjects) {
            if (auto* found = dynamic_cast<T*>(plugin.get())) return found;
        }
        return nullptr;
    }

    void onAppDidFinishLaunching();
    void onFullscreen();
    void windowResized() {}
    void onPreferences() {}
    // Shows the window and brings it to the front.
    void showWindow();

    WHCommandDelegate* commandDelegate() { return commandDelegate_.get(); }

    // Whether a page at this URL is the application's own (the start page's origin).
    bool isTrustedPageURL(const std::string& url) const;
    // What such URLs begin with, unescaped: the www folder's file URL, or the start page's origin
    // and "/". Empty before a start page was chosen.
    std::string trustedPagePrefix() const;
    // The URL the start page was loaded from (empty when none was loaded).
    const std::string& startURL() const { return startURL_; }

    bool loadFromString = false;
    bool initialized = false;
    bool cfgFullScreen = false;
    platform::WebView* webView = nullptr;
    platform::Window* window = nullptr;
    WHWebViewDelegate* webViewDelegate = nullptr;
    std::map<std::string, std::unique_ptr<WHPlugin>> pluginObjects;
    std::map<std::string, std::string> pluginsMap;
    std::vector<std::string> startupPluginNames;
    WHSettings settings;
    std::string wwwFolderName;
    std::string startPage;
    WHSize cfgWindowSize;
    bool configLoaded = false;
    // The main frame has finished loading at least once.
    bool mainFrameLoaded = false;

private:
    void setup();
    void loadSettings();
    void applyPreferences();

    std::unique_ptr<WHCommandDelegateImpl> commandDelegate_;
    std::string startURL_;
};

// The host class the interface instantiates; no behaviour of its own.
class MainViewController : public WHViewController {
public:
    using WHViewController::WHViewController;
};

// Integer reading of a text: leading blanks skipped, a sign, leading digits; 0 when none.
long long integerFromText(const std::string& text);
