#include "platform/workspace.h"

#include <gio/gio.h>

#include <cctype>
#include <cstring>
#include <mutex>

#include "platform/application.h"
#include "platform/log.h"

namespace platform {

namespace {

class GioWorkspace final : public Workspace {
public:
    bool openURL(const std::string& url) override {
        GError* error = nullptr;
        bool ok = g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error);
        if (error) {
            logf("Opening %s failed: %s", url, std::string(error->message));
            g_error_free(error);
        }
        return ok;
    }

    bool openFile(const std::string& path) override {
        GFile* file = g_file_new_for_path(path.c_str());
        char* uri = g_file_get_uri(file);
        g_object_unref(file);
        bool ok = uri && openURL(uri);
        g_free(uri);
        return ok;
    }

    void terminate() override { Application::shared().terminate(); }
};

std::mutex gMutex;
std::shared_ptr<Workspace> gWorkspace;

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

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

bool isStrictURL(const std::string& text) {
    // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":"
    std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    for (std::size_t i = 1; i < colon; ++i) {
        char c = text[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    }
    static const char* const allowed = "-._~:/?#[]@!$&'()*+,;=%";
    int fragments = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0 || c >= 0x80 || !(std::isalnum(c) || std::strchr(allowed, c))) return false;
        if (c == '%' && (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))) return false;
        if (c == '#' && ++fragments > 1) return false;
    }
    // The structure (authority, port, brackets of an IPv6 host) as RFC 3986 reads it.
    return g_uri_is_valid(text.c_str(), G_URI_FLAGS_NONE, nullptr);
}

}  // namespace platform
