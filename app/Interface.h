// The main interface: the objects the application loads at start and their connections
// (delegate, main window, web view, host, web-view delegate).
#pragma once

#include <memory>

#include "app/AppDelegate.h"
#include "bridge/WHMainWindow.h"
#include "bridge/WHViewController.h"
#include "bridge/WHWebViewDelegate.h"
#include "platform/webview.h"

struct MainInterface {
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<WHMainWindow> window;
    std::unique_ptr<platform::WebView> webView;
    std::unique_ptr<MainViewController> viewController;
    std::unique_ptr<WHWebViewDelegate> webViewDelegate;

    // Creates and connects the objects, installs the delegate and runs the host's awakeFromNib.
    // A web view may be given (tests); otherwise the WebKitGTK one is made.
    static std::unique_ptr<MainInterface> load(std::unique_ptr<platform::WebView> webView = nullptr);
    // The same in two steps, as the application starts: first the objects that load the start
    // page, with its load issued (no window, no plug-ins yet); then, once the application has
    // started, the window and the start-up plug-ins.
    static std::unique_ptr<MainInterface> loadStartPage(std::unique_ptr<platform::WebView> webView = nullptr);
    void finishLoading();
    ~MainInterface();
};

// The process entry's work: runs the application and answers its exit status.
int runApplication(int argc, char** argv);
