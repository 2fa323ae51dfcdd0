#include "tests/support/services_scripted_platform.h"

namespace testutil {

std::shared_ptr<ScriptedSavePanel> ScriptedSavePanel::install() {
    auto panel = std::make_shared<ScriptedSavePanel>();
    platform::setSavePanelPresenter(panel);
    return panel;
}

void ScriptedSavePanel::uninstall() { platform::setSavePanelPresenter(nullptr); }

void ScriptedSavePanel::begin(const platform::SavePanelOptions& options, platform::SavePanelCompletion completion) {
    std::optional<std::optional<std::string>> now;
    {
        std::lock_guard lock(mutex_);
        shown_.push_back(options);
        if (!queued_.empty()) {
            now = queued_.front();
            queued_.pop_front();
        } else {
            open_.push_back(std::move(completion));
        }
    }
    if (now) completion(*now);
}

void ScriptedSavePanel::queueAnswer(std::optional<std::string> path) {
    std::lock_guard lock(mutex_);
    queued_.push_back(std::move(path));
}

bool ScriptedSavePanel::answer(std::optional<std::string> path) {
    platform::SavePanelCompletion completion;
    {
        std::lock_guard lock(mutex_);
        if (open_.empty()) return false;
        completion = std::move(open_.front());
        open_.pop_front();
    }
    completion(std::move(path));
    return true;
}

std::size_t ScriptedSavePanel::openCount() const {
    std::lock_guard lock(mutex_);
    return open_.size();
}

std::vector<platform::SavePanelOptions> ScriptedSavePanel::shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

void ScriptedSavePanel::confirmReplace(const std::string& path, std::function<void(bool)> answer) {
    std::optional<bool> now;
    {
        std::lock_guard lock(mutex_);
        replaceQuestions_.push_back(path);
        if (!queuedReplace_.empty()) {
            now = queuedReplace_.front();
            queuedReplace_.pop_front();
        } else {
            openReplace_.push_back(std::move(answer));
        }
    }
    if (now) answer(*now);
}

void ScriptedSavePanel::queueReplaceAnswer(bool replace) {
    std::lock_guard lock(mutex_);
    queuedReplace_.push_back(replace);
}

bool ScriptedSavePanel::answerReplace(bool replace) {
    std::function<void(bool)> answer;
    {
        std::lock_guard lock(mutex_);
        if (openReplace_.empty()) return false;
        answer = std::move(openReplace_.front());
        openReplace_.pop_front();
    }
    answer(replace);
    return true;
}

std::vector<std::string> ScriptedSavePanel::replaceQuestions() const {
    std::lock_guard lock(mutex_);
    return replaceQuestions_;
}

std::shared_ptr<ScriptedWorkspace> ScriptedWorkspace::install() {
    auto ws = std::make_shared<ScriptedWorkspace>();
    platform::setSharedWorkspace(ws);
    return ws;
}

void ScriptedWorkspace::uninstall() { platform::setSharedWorkspace(nullptr); }

bool ScriptedWorkspace::openURL(const std::string& url) {
    calls.push_back("openURL");
    openedURLs.push_back(url);
    return opens;
}

bool ScriptedWorkspace::openFile(const std::string& path) {
    calls.push_back("openFile");
    openedFiles.push_back(path);
    return opens;
}

void ScriptedWorkspace::terminate() { calls.push_back("terminate"); }

}  // namespace testutil
