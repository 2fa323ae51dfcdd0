// The GTK objects behind the platform's windows and web views, for the platform's own code and
// for tests that look at them. It includes GTK, which no layer above the platform can.
#pragma once

#include <gtk/gtk.h>

namespace platform {

class Window;
class WebView;

GtkWindow* gtkWindowOf(const Window& window);
// The window shows `child` as its only content.
void setWindowContent(Window& window, GtkWidget* child);
// The view's widget; null when the view has none.
GtkWidget* gtkWidgetOf(WebView& view);

}  // namespace platform
