#include "platform/save_panel.h"

#include <gtk/gtk.h>

#include <sys/stat.h>

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
        if (g_autofree char* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) path = name;
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
            logf(LogLevel::Warning, "Save panel: no display; nothing saved");
            completion(std::nullopt);
            return;
        }
        auto* open = new OpenChooser{nullptr, options, std::move(completion)};
        // No parent: the panel is a window of its own and leaves the main window usable.
        open->chooser = gtk_file_chooser_native_new(nullptr, nullptr, GTK_FILE_CHOOSER_ACTION_SAVE, nullptr, nullptr);
        GtkFileChooser* fc = GTK_FILE_CHOOSER(open->chooser);
        gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(open->chooser), FALSE);
        gtk_file_chooser_set_create_folders(fc, options.canCreateDirectories);
        if (options.directory) gtk_file_chooser_set_current_folder(fc, options.directory->c_str());
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

    void confirmReplace(const std::string& path, std::function<void(bool)> answer) override {
        if (!gdk_display_get_default()) {
            answer(false);
            return;
        }
        // The chooser's own question, in GTK's own words and translations.
        auto gtkText = [](const char* text) { return g_dgettext("gtk30", text); };
        g_autofree gchar* name = g_path_get_basename(path.c_str());
        g_autofree gchar* folder = g_path_get_dirname(path.c_str());
        g_autofree gchar* folderName = g_filename_display_basename(folder);
        GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE,
                                                   gtkText("A file named “%s” already exists.  Do you want to replace it?"), name);
        gtk_message_dialog_format_secondary_text(
            GTK_MESSAGE_DIALOG(dialog), gtkText("The file already exists in “%s”.  Replacing it will overwrite its contents."),
            folderName);
        gtk_dialog_add_button(GTK_DIALOG(dialog), gtkText("_Cancel"), GTK_RESPONSE_CANCEL);
        gtk_dialog_add_button(GTK_DIALOG(dialog), gtkText("_Replace"), GTK_RESPONSE_ACCEPT);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
        auto* held = new std::function<void(bool)>(std::move(answer));
        g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
                             g_signal_handlers_disconnect_matched(d, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, data);
                             auto* answerOnce = static_cast<std::function<void(bool)>*>(data);
                             auto call = std::move(*answerOnce);
                             delete answerOnce;
                             gtk_widget_destroy(GTK_WIDGET(d));
                             if (call) call(response == GTK_RESPONSE_ACCEPT);
                         }),
                         held);
        gtk_widget_show(dialog);
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

namespace {

// One dialog's completion, called once.
using SharedCompletion = std::shared_ptr<SavePanelCompletion>;

void finish(const SharedCompletion& done, std::optional<std::string> path) {
    auto completion = std::move(*done);
    *done = nullptr;
    if (completion) completion(std::move(path));
}

void showPanel(const SavePanelOptions& options, const SharedCompletion& done);

// On the main thread, with the path the panel answered.
void settle(const SavePanelOptions& options, const SharedCompletion& done, std::optional<std::string> answered) {
    if (!answered) return finish(done, std::nullopt);
    std::string path = pathWithAllowedType(*answered, options);
    struct stat st;
    if (path == *answered || ::lstat(path.c_str(), &st) != 0) return finish(done, path);
    // The panel asked about the name as typed, not about the file under the name with the type.
    auto heard = std::make_shared<std::atomic<bool>>(false);
    presenter()->confirmReplace(path, [options, done, path, heard](bool replace) {
        if (heard->exchange(true)) return;
        dispatchMain([options, done, path, replace] {
            if (replace) return finish(done, path);
            SavePanelOptions again = options;
            again.directory = path.substr(0, path.rfind('/'));
            if (again.directory->empty()) again.directory = "/";
            showPanel(again, done);
        });
    });
}

void showPanel(const SavePanelOptions& options, const SharedCompletion& done) {
    // The presenter may answer at once or from another thread; the caller always hears later,
    // on the main thread, and only once.
    auto heard = std::make_shared<std::atomic<bool>>(false);
    presenter()->begin(options, [options, done, heard](std::optional<std::string> path) {
        if (heard->exchange(true)) return;
        dispatchMain([options, done, path = std::move(path)]() mutable { settle(options, done, std::move(path)); });
    });
}

}  // namespace

void beginSavePanel(const SavePanelOptions& options, SavePanelCompletion completion) {
    showPanel(options, std::make_shared<SavePanelCompletion>(std::move(completion)));
}

}  // namespace platform
