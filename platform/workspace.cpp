#include "platform/workspace.h"

#include <gio/gio.h>

#include <mutex>

#include "platform/application.h"
#include "platform/log.h"

namespace platform {

namespace {

class GioWorkspace final : public Workspace {
public:
    bool openURL(const std::string& url) override {
        g_autoptr(GError) error = nullptr;
        bool ok = g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error);
        if (error) logf(LogLevel::Warning, "Opening %s failed: %s", url, std::string(error->message));
        return ok;
    }

    bool openFile(const std::string& path) override {
        g_autoptr(GFile) file = g_file_new_for_path(path.c_str());
        g_autofree char* uri = g_file_get_uri(file);
        return uri && openURL(uri);
    }

    void terminate() override { Application::shared().terminate(); }
};

std::mutex gMutex;
std::shared_ptr<Workspace> gWorkspace;

}  // namespace

Workspace& sharedWorkspace() {
    std::lock_guard lock(gMutex);
    if (!gWorkspace) gWorkspace = std::make_shared<GioWorkspace>();
    return *gWorkspace;
}

void setSharedWorkspace(std::shared_ptr<Workspace> workspace) {
    std::lock_guard lock(gMutex);
    gWorkspace = std::move(workspace);
}

}  // namespace platform
