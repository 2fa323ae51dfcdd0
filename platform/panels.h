// Modal panels on GTK: alerts with buttons, a prompt with a text field, and the open panel.
// Tests install a responder that answers in place of a person.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>


namespace platform {

class Window;

struct PanelRequest {
    enum Kind { Alert, Prompt, OpenPanel } kind = Alert;
    std::string message;
    std::vector<std::string> buttons;
    std::string defaultText;
    bool allowMultiple = false;
    std::optional<std::string> informativeText;  // alerts: the smaller text below the message
    bool warning = false;                        // alerts: warning style
};
struct PanelAnswer {
    int button = -1;                   // index of the chosen button, -1 when closed
    std::string text;                  // the prompt's field
    std::vector<std::string> paths;    // the open panel's choice
};

// Answers the index of the chosen button (-1 when the panel was closed otherwise).
int runAlertPanel(const Window* parent, const std::string& message, const std::vector<std::string>& buttons);
// A warning alert with an optional informative text under the message.
int runWarningAlertPanel(const Window* parent, const std::string& message, const std::optional<std::string>& informativeText,
                         const std::vector<std::string>& buttons);
// The field's text when the first button was chosen.
std::optional<std::string> runPromptPanel(const Window* parent, const std::string& prompt, const std::string& defaultText,
                                          const std::vector<std::string>& buttons);
// Files and folders may be chosen; absent on cancel.
std::optional<std::vector<std::string>> runOpenPanel(const Window* parent, bool allowMultiple,
                                                     const std::string& openTitle, const std::string& cancelTitle);

void setPanelResponder(std::function<PanelAnswer(const PanelRequest&)> responder);

}  // namespace platform
