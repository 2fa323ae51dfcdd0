// The reference of bench_start: a bare GTK window with a WebKitGTK view loading one page. The
// page's console.log texts reach a script message handler and are printed on standard error, one
// line each, as the program prints its page's console.
//   bench_start_bare PAGE-FILE
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>

static void onConsole(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
    g_autofree char* text = jsc_value_to_string(webkit_javascript_result_get_js_value(result));
    std::fprintf(stderr, "%s\n", text ? text : "");
    std::fflush(stderr);
}

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_start_bare PAGE-FILE\n");
        return 2;
    }
    WebKitUserContentManager* ucm = webkit_user_content_manager_new();
    g_signal_connect(ucm, "script-message-received::console", G_CALLBACK(onConsole), nullptr);
    webkit_user_content_manager_register_script_message_handler(ucm, "console");
    g_autoptr(WebKitUserScript) script = webkit_user_script_new(
        "(function(){var h=window.webkit.messageHandlers.console;"
        "window.console={log:function(m){h.postMessage(String(m));}};})();",
        WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(ucm, script);

    GtkWidget* view = webkit_web_view_new_with_user_content_manager(ucm);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 1024, 768);
    gtk_container_add(GTK_CONTAINER(window), view);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    g_autofree gchar* uri = g_filename_to_uri(argv[1], nullptr, nullptr);
    if (!uri) {
        std::fprintf(stderr, "bench_start_bare: %s is not an absolute file name\n", argv[1]);
        return 2;
    }
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), uri);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
