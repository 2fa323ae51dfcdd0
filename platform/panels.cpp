#include "platform/panels.h"

#include <gtk/gtk.h>

#include "platform/gtk_handles.h"
#include "platform/window.h"

namespace platform {

static std::function<PanelAnswer(const PanelRequest&)> gResponder;

void setPanelResponder(std::function<PanelAnswer(const PanelRequest&)> responder) { gResponder = std::move(responder); }

static GtkWindow* parentOf(const Window* owner) { return owner ? gtkWindowOf(*owner) : nullptr; }

static GtkWidget* makeDialog(GtkWindow* parent, const std::string& message, const std::vector<std::string>& buttons) {
    GtkWidget* d = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s", message.c_str());
    // Buttons appear in the given order from the right: the first one is the default.
    for (int i = static_cast<int>(buttons.size()) - 1; i >= 0; --i) {
        gtk_dialog_add_button(GTK_DIALOG(d), buttons[i].c_str(), i);
    }
    if (!buttons.empty()) gtk_dialog_set_default_response(GTK_DIALOG(d), 0);
    return d;
}

int runAlertPanel(const Window* owner, const std::string& message, const std::vector<std::string>& buttons) {
    if (gResponder) return gResponder({PanelRequest::Alert, message, buttons}).button;
    GtkWidget* d = makeDialog(parentOf(owner), message, buttons);
    int r = gtk_dialog_run(GTK_DIALOG(d));
    gtk_widget_destroy(d);
    return r >= 0 ? r : -1;
}

int runWarningAlertPanel(const Window* owner, const std::string& message, const std::optional<std::string>& informativeText,
                         const std::vector<std::string>& buttons) {
    if (gResponder) {
        PanelRequest req{PanelRequest::Alert, message, buttons};
        req.informativeText = informativeText;
        req.warning = true;
        return gResponder(req).button;
    }
    GtkWidget* d = makeDialog(parentOf(owner), message, buttons);
    g_object_set(d, "message-type", GTK_MESSAGE_WARNING, nullptr);
    if (informativeText) gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(d), "%s", informativeText->c_str());
    int r = gtk_dialog_run(GTK_DIALOG(d));
    gtk_widget_destroy(d);
    return r >= 0 ? r : -1;
}

std::optional<std::string> runPromptPanel(const Window* owner, const std::string& prompt, const std::string& defaultText,
                                          const std::vector<std::string>& buttons) {
    if (gResponder) {
        PanelRequest req{PanelRequest::Prompt, prompt, buttons, defaultText};
        auto a = gResponder(req);
        if (a.button != 0) return std::nullopt;
        return a.text;
    }
    GtkWidget* d = makeDialog(parentOf(owner), prompt, buttons);
    GtkWidget* entry = gtk_entry_new();
    gtk_widget_set_size_request(entry, 300, 24);
    gtk_entry_set_text(GTK_ENTRY(entry), defaultText.c_str());
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
    gtk_box_pack_end(GTK_BOX(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(d))), entry, FALSE, FALSE, 0);
    gtk_widget_show(entry);
    int r = gtk_dialog_run(GTK_DIALOG(d));
    std::optional<std::string> out;
    if (r == 0) out = gtk_entry_get_text(GTK_ENTRY(entry));
    gtk_widget_destroy(d);
    return out;
}

std::optional<std::vector<std::string>> runOpenPanel(const Window* owner, bool allowMultiple, const std::string& openTitle,
                                                     const std::string& cancelTitle) {
    if (gResponder) {
        PanelRequest req{PanelRequest::OpenPanel};
        req.allowMultiple = allowMultiple;
        auto a = gResponder(req);
        if (a.button != 0) return std::nullopt;
        return a.paths;
    }
    // GTK's chooser picks either files or folders; files are the common case of a file button.
    g_autoptr(GtkFileChooserNative) chooser = gtk_file_chooser_native_new(
        nullptr, parentOf(owner), GTK_FILE_CHOOSER_ACTION_OPEN, openTitle.c_str(), cancelTitle.c_str());
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), allowMultiple);
    std::optional<std::vector<std::string>> out;
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
        std::vector<std::string> paths;
        GSList* files = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(chooser));
        for (GSList* l = files; l; l = l->next) paths.emplace_back(static_cast<char*>(l->data));
        g_slist_free_full(files, g_free);
        out = std::move(paths);
    }
    return out;
}

}  // namespace platform
