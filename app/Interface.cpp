#include "app/Interface.h"

#include <gtk/gtk.h>

#include "companion/KVControlMain.h"
#include "platform/bundle.h"

std::unique_ptr<MainInterface> MainInterface::load(std::unique_ptr<platform::WebView> webView) {
    auto ui = std::make_unique<MainInterface>();
    ui->delegate = std::make_unique<AppDelegate>();
    ui->window = std::make_unique<WHMainWindow>();
    ui->window->setTitle(platform::Bundle::main().name());
    ui->window->setDefaultSize(1024, 768);
    ui->webView = webView ? std::move(webView) : platform::createWebView();
    ui->viewController = std::make_unique<MainViewController>();
    ui->webViewDelegate = std::make_unique<WHWebViewDelegate>(ui->viewController.get());

    ui->delegate->window = ui->window.get();
    ui->delegate->viewController = ui->viewController.get();
    ui->viewController->window = ui->window.get();
    ui->viewController->webView = ui->webView.get();
    ui->viewController->webViewDelegate = ui->webViewDelegate.get();
    ui->webView->setClient(ui->webViewDelegate.get());
    if (GtkWidget* w = ui->webView->widget()) ui->window->setContent(w);
    // The window's full-screen item.
    MainViewController* host = ui->viewController.get();
    ui->window->addKeyboardShortcut("F11", [host] { host->onFullscreen(); });
    platform::Application::shared().setDelegate(ui->delegate.get());

    ui->viewController->awakeFromNib();
    return ui;
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
    int status = platform::Application::shared().run(argc, argv, [&] { ui = MainInterface::load(); });
    ui.reset();
    return status;
}
