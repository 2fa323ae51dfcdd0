#include "platform/save_panel.h"

#include <gtk/gtk.h>

#include <atomic>
#include <mutex>

#include "platform/dispatch.h"
#include "platform/log.h"

namespace platform {

namespace {

// One open GTK chooser; owns itself until its response.
struct OpenChooser {
    GtkFileChooserNative* chooser = nullptr;
    SavePanelOptions options;
    SavePanelCompletion completion;
};

void onChooserResponse(GtkNativeDialog* dialog, int response, gpointer data) {
    auto* open = static_cast<OpenChooser*>(data);
    std::optional<std::string> path;
    if (response == GTK_RESPONSE_ACCEPT) {
        if (char* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
            path = name;
            g_free(name);
        }
    }
    auto completion = std::move(open->completion);
    gtk_native_dialog_destroy(dialog);
    g_object_unref(open->chooser);
    delete open;
    if (completion) completion(std::move(path));
}

class GtkSavePanelPresenter final : public SavePanelPresenter {
public:
    void begin(const SavePanelOptions& options, SavePanelCompletion completion) override {
        if (!gdk_display_get_default()) {
            logf("Save panel: no display; nothing saved");
            completion(std::nullopt);
            return;
        }
        auto* open = new OpenChooser{nullptr, options, std::move(completion)};
        // No parent: the panel is a window of its own and leaves the main window usable.
        open->chooser = gtk_file_chooser_native_new(nullptr, nullptr, GTK_FILE_CHOOSER_ACTION_SAVE, nullptr, nullptr);
        GtkFileChooser* fc = GTK_FILE_CHOOSER(open->chooser);
        gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(open->chooser), FALSE);
        gtk_file_chooser_set_create_folders(fc, options.canCreateDirectories);
        gtk_file_chooser_set_do_overwrite_confirmation(fc, TRUE);
        std::string name = options.nameFieldValue;
        if (!options.allowedFileTypes.empty() && !options.extensionHidden) name += "." + options.allowedFileTypes.front();
        gtk_file_chooser_set_current_name(fc, name.c_str());
        if (!options.allowedFileTypes.empty()) {
            GtkFileFilter* filter = gtk_file_filter_new();
            std::string label;
            for (const auto& type : options.allowedFileTypes) {
                gtk_file_filter_add_pattern(filter, ("*." + type).c_str());
                label += (label.empty() ? "*." : ", *.") + type;
            }
            gtk_file_filter_set_name(filter, label.c_str());
            gtk_file_chooser_add_filter(fc, filter);  // takes the floating reference
        }
        g_signal_connect(open->chooser, "response", G_CALLBACK(onChooserResponse), open);
        gtk_native_dialog_show(GTK_NATIVE_DIALOG(open->chooser));
    }
};

std::mutex gMutex;
std::shared_ptr<SavePanelPresenter> gPresenter;

std::shared_ptr<SavePanelPresenter> presenter() {
    std::lock_guard lock(gMutex);
    if (!gPresenter) gPresenter = std::make_shared<GtkSavePanelPresenter>();
    return gPresenter;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

void setSavePanelPresenter(std::shared_ptr<SavePanelPresenter> p) {
    std::lock_guard lock(gMutex);
    gPresenter = std::move(p);
}

std::string pathWithAllowedType(const std::string& path, const SavePanelOptions& options) {
    if (options.allowedFileTypes.empty() || options.allowsOtherFileTypes) return path;
    for (const auto& type : options.allowedFileTypes) {
        if (endsWith(path, "." + type)) return path;
    }
    return path + "." + options.allowedFileTypes.front();
}

void beginSavePanel(const SavePanelOptions& options, SavePanelCompletion completion) {
    // The presenter may answer at once or from another thread; the caller always hears later,
    // on the main thread, and only once.
    auto done = std::make_shared<SavePanelCompletion>(std::move(completion));
    auto called = std::make_shared<std::atomic<bool>>(false);
    auto p = presenter();
    p->begin(options, [done, called, options](std::optional<std::string> path) {
        if (called->exchange(true)) return;
        if (path) path = pathWithAllowedType(*path, options);
        dispatchMain([done, path = std::move(path)]() mutable {
            if (*done) (*done)(std::move(path));
        });
    });
}

}  // namespace platform
