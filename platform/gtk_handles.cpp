#include "platform/gtk_handles.h"

#include "platform/webview.h"
#include "platform/window.h"

namespace platform {

GtkWindow* gtkWindowOf(const Window& window) { return window.window_; }

void setWindowContent(Window& window, GtkWidget* child) { window.setContentWidget(child); }

GtkWidget* gtkWidgetOf(WebView& view) { return view.widget(); }

void Window::setContent(WebView& view) {
    if (GtkWidget* w = view.widget()) setContentWidget(w);
}

}  // namespace platform
