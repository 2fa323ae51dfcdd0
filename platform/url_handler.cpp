#include "platform/url_handler.h"

#include <gio/gio.h>
#include <gio/gdesktopappinfo.h>

#include "platform/bundle.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace platform {

static std::string stripDesktop(std::string id) {
    const std::string ext = ".desktop";
    if (id.size() > ext.size() && id.compare(id.size() - ext.size(), ext.size(), ext) == 0) id.resize(id.size() - ext.size());
    return id;
}

std::optional<std::string> defaultHandlerForURLScheme(const std::string& scheme) {
    GAppInfo* info = g_app_info_get_default_for_uri_scheme(scheme.c_str());
    if (!info) return std::nullopt;
    const char* id = g_app_info_get_id(info);
    std::optional<std::string> out;
    if (id) out = stripDesktop(id);
    g_object_unref(info);
    return out;
}

bool setDefaultHandlerForURLScheme(const std::string& scheme, const std::string& desktopId) {
    GDesktopAppInfo* info = g_desktop_app_info_new((desktopId + ".desktop").c_str());
    if (!info) return false;
    GError* error = nullptr;
    std::string type = "x-scheme-handler/" + scheme;
    bool ok = g_app_info_set_as_default_for_type(G_APP_INFO(info), type.c_str(), &error);
    if (error) g_error_free(error);
    g_object_unref(info);
    return ok;
}

void installDesktopEntryIfRunFromBuildTree(const std::vector<std::string>& schemes) {
    std::string exe = executablePath();
    const std::string build = KIVANO_BINARY_DIR;
    if (exe.rfind(build + "/", 0) != 0) return;
    std::string mime;
    for (const auto& s : schemes) mime += "x-scheme-handler/" + s + ";";
    std::string entry = "[Desktop Entry]\nType=Application\nName=" + Bundle::main().name() +
                        "\nComment=Hubstation companion\nExec=\"" + exe + "\" %u\nTerminal=false\nNoDisplay=true\n"
                        "Categories=Utility;\nMimeType=" + mime + "\n";
    std::string dir = dataHome() + "/applications";
    std::string path = dir + "/" + Bundle::main().identifier() + ".desktop";
    std::string existing;
    if (readFile(path, existing) && existing == entry) return;
    std::string error;
    if (!writeFileAtomically(path, entry, &error)) logf("Desktop entry %s could not be written: %s", path, error);
}

}  // namespace platform
