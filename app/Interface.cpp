#include "app/Interface.h"

#include "companion/KVControlMain.h"
#include "platform/bundle.h"
#include "platform/window.h"

std::unique_ptr<MainInterface> MainInterface::load(std::unique_ptr<platform::WebView> webView) {
    auto ui = loadStartPage(std::move(webView));
    ui->finishLoading();
    return ui;
}

std::unique_ptr<MainInterface> MainInterface::loadStartPage(std::unique_ptr<platform::WebView> webView) {
    // The main window is dark (set again once the application has launched): asked for before the
    // first widget, the theme is loaded once.
    platform::preferDarkAppearance();
    auto ui = std::make_unique<MainInterface>();
    ui->delegate = std::make_unique<AppDelegate>();
    ui->webView = webView ? std::move(webView) : platform::createWebView();
    ui->viewController = std::make_unique<MainViewController>();
    ui->webViewDelegate = std::make_unique<WHWebViewDelegate>(ui->viewController.get());

    ui->delegate->viewController = ui->viewController.get();
    ui->viewController->webView = ui->webView.get();
    ui->viewController->webViewDelegate = ui->webViewDelegate.get();
    ui->webView->setClient(ui->webViewDelegate.get());
    ui->viewController->loadStartPage();
    return ui;
}

void MainInterface::finishLoading() {
    // The window is the application's: it is made once the application has started.
    window = std::make_unique<WHMainWindow>();
    window->setTitle(platform::Bundle::main().name());
    window->setDefaultSize(1024, 768);
    delegate->window = window.get();
    viewController->window = window.get();
    window->setContent(*webView);
    // The window's full-screen item.
    MainViewController* host = viewController.get();
    window->addKeyboardShortcut("F11", [host] { host->onFullscreen(); });
    platform::Application::shared().setDelegate(delegate.get());
    viewController->createStartupPlugins();
}

MainInterface::~MainInterface() {
    if (platform::Application::shared().delegate() == delegate.get()) platform::Application::shared().setDelegate(nullptr);
    KVControlMain::setSharedInstance(nullptr);
    if (webView) webView->setClient(nullptr);
    viewController.reset();  // plug-ins first
    webViewDelegate.reset();
    webView.reset();
    window.reset();
    delegate.reset();
}

int runApplication(int argc, char** argv) {
    std::unique_ptr<MainInterface> ui;
    // The start page is known before the application starts: its load is under way while the
    // application registers and starts.
    int status = platform::Application::shared().run(
        argc, argv,
        [&] {
            if (!ui) ui = MainInterface::loadStartPage();
            ui->finishLoading();
        },
        [&] { ui = MainInterface::loadStartPage(); });
    ui.reset();
    return status;
}
