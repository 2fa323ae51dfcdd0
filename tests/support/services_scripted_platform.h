// Scripted stand-ins for the save panel and the workspace: they answer in place of a person
// and record what they were asked.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/save_panel.h"
#include "platform/workspace.h"

namespace testutil {

class ScriptedSavePanel : public platform::SavePanelPresenter {
public:
    // Installs a fresh panel for the scope of a test.
    static std::shared_ptr<ScriptedSavePanel> install();
    static void uninstall();

    void begin(const platform::SavePanelOptions& options, platform::SavePanelCompletion completion) override;
    void confirmReplace(const std::string& path, std::function<void(bool)> answer) override;

    // Answers to give at once when a panel begins (a path to confirm, or absent to cancel); when
    // none is queued the panel stays open until answer().
    void queueAnswer(std::optional<std::string> path);
    // Closes the oldest open panel with the path (absent: cancel). Answers false when none is open.
    bool answer(std::optional<std::string> path);

    std::size_t openCount() const;
    std::vector<platform::SavePanelOptions> shown() const;

    // Answers to whether an existing file may be replaced, given at once when asked; when none is
    // queued the question stays open until answerReplace().
    void queueReplaceAnswer(bool replace);
    bool answerReplace(bool replace);
    // The paths asked about, in order.
    std::vector<std::string> replaceQuestions() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::optional<std::string>> queued_;
    std::deque<platform::SavePanelCompletion> open_;
    std::vector<platform::SavePanelOptions> shown_;
    std::deque<bool> queuedReplace_;
    std::deque<std::function<void(bool)>> openReplace_;
    std::vector<std::string> replaceQuestions_;
};

class ScriptedWorkspace : public platform::Workspace {
public:
    static std::shared_ptr<ScriptedWorkspace> install();
    static void uninstall();

    bool openURL(const std::string& url) override;
    bool openFile(const std::string& path) override;
    void terminate() override;

    bool opens = true;  // what openURL and openFile answer
    std::vector<std::string> openedURLs;
    std::vector<std::string> openedFiles;
    // The order of calls: "openURL", "openFile", "terminate".
    std::vector<std::string> calls;
};

}  // namespace testutil
