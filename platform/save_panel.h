// The save panel: asks the user where to save a file. Shown modelessly as a window of its own;
// the answer arrives later, once, on the main thread. GTK's native file chooser backs it in the
// program; tests install a presenter that answers in place of a person.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct SavePanelOptions {
    std::string nameFieldValue;                 // proposed name, without the type's extension
    std::vector<std::string> allowedFileTypes;  // extensions without dot; empty: any type
    bool canCreateDirectories = true;
    bool allowsOtherFileTypes = false;
    bool canSelectHiddenExtension = false;
    bool extensionHidden = false;
    std::optional<std::string> directory;       // folder the panel opens in; absent: its default
};

// The chosen path, absent when the panel was cancelled or closed.
using SavePanelCompletion = std::function<void(std::optional<std::string> path)>;

class SavePanelPresenter {
public:
    virtual ~SavePanelPresenter() = default;
    // Shows one panel and returns at once; calls `completion` once when it closes.
    virtual void begin(const SavePanelOptions& options, SavePanelCompletion completion) = 0;
    // Asks whether the existing file at `path` may be replaced; returns at once and calls
    // `answer` once, with true for replace.
    virtual void confirmReplace(const std::string& path, std::function<void(bool replace)> answer) = 0;
};

// Replaces the GTK presenter (tests); null restores it.
void setSavePanelPresenter(std::shared_ptr<SavePanelPresenter> presenter);

// Shows a save panel and returns at once. The completion runs exactly once, never inside this
// call, on the main thread. When only some types are allowed and other types are not, a chosen
// path without one of the allowed extensions gets the first one appended; when a file exists
// under that name, the user is asked whether to replace it (the panel asked only about the name
// as typed), and a "no" shows the panel again in the same folder.
void beginSavePanel(const SavePanelOptions& options, SavePanelCompletion completion);

// The path with an allowed extension, following the options' type rules.
std::string pathWithAllowedType(const std::string& path, const SavePanelOptions& options);

}  // namespace platform
