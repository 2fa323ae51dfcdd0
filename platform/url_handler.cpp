#include "platform/url_handler.h"

#include <gio/gio.h>
#include <gio/gdesktopappinfo.h>

#include "platform/autostart.h"
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
    g_autoptr(GAppInfo) info = g_app_info_get_default_for_uri_scheme(scheme.c_str());
    if (!info) return std::nullopt;
    const char* id = g_app_info_get_id(info);
    if (!id) return std::nullopt;
    return stripDesktop(id);
}

bool setDefaultHandlerForURLScheme(const std::string& scheme, const std::string& desktopId) {
    g_autoptr(GDesktopAppInfo) info = g_desktop_app_info_new((desktopId + ".desktop").c_str());
    if (!info) return false;
    std::string type = "x-scheme-handler/" + scheme;
    return g_app_info_set_as_default_for_type(G_APP_INFO(info), type.c_str(), nullptr);
}

std::string schemeHandlerDesktopEntry(const std::string& program, const std::string& icon,
                                      const std::vector<std::string>& schemes) {
    g_autoptr(GKeyFile) file = g_key_file_new();
    const char* group = G_KEY_FILE_DESKTOP_GROUP;
    g_key_file_set_string(file, group, G_KEY_FILE_DESKTOP_KEY_TYPE, G_KEY_FILE_DESKTOP_TYPE_APPLICATION);
    g_key_file_set_string(file, group, G_KEY_FILE_DESKTOP_KEY_NAME, Bundle::main().name().c_str());
    g_key_file_set_string(file, group, G_KEY_FILE_DESKTOP_KEY_COMMENT, "Hubstation companion");
    // The key file writer escapes backslashes once more, as the format wants.
    g_key_file_set_string(file, group, G_KEY_FILE_DESKTOP_KEY_EXEC, (desktopExecQuote(program) + " %u").c_str());
    if (!icon.empty()) g_key_file_set_string(file, group, G_KEY_FILE_DESKTOP_KEY_ICON, icon.c_str());
    g_key_file_set_boolean(file, group, G_KEY_FILE_DESKTOP_KEY_TERMINAL, FALSE);
    g_key_file_set_boolean(file, group, G_KEY_FILE_DESKTOP_KEY_NO_DISPLAY, TRUE);
    const char* categories[] = {"Utility"};
    g_key_file_set_string_list(file, group, G_KEY_FILE_DESKTOP_KEY_CATEGORIES, categories, 1);
    std::vector<std::string> types;
    for (const auto& s : schemes) types.push_back("x-scheme-handler/" + s);
    std::vector<const char*> list;
    for (const auto& t : types) list.push_back(t.c_str());
    g_key_file_set_string_list(file, group, G_KEY_FILE_DESKTOP_KEY_MIME_TYPE, list.data(), list.size());
    gsize length = 0;
    g_autofree char* data = g_key_file_to_data(file, &length, nullptr);
    return std::string(data ? data : "", length);
}

std::string desktopEntryId(const std::string& id) { return Bundle::runsFromBuildTree() ? id + ".Devel" : id; }

bool writeSchemeHandlerDesktopEntry(const std::string& program, const std::vector<std::string>& schemes) {
    std::string folder = program.substr(0, program.find_last_of('/'));
    // The build tree's bundle carries the icon; the entry names its file.
    std::string icon = folder + "/Resources/icons/" + Bundle::main().identifier() + ".svg";
    if (!g_file_test(icon.c_str(), G_FILE_TEST_IS_REGULAR)) icon = Bundle::main().identifier();
    std::string entry = schemeHandlerDesktopEntry(program, icon, schemes);
    std::string path = dataHome() + "/applications/" + desktopEntryId() + ".desktop";
    std::string existing;
    if (readFile(path, existing) && existing == entry) return true;
    std::string error;
    if (writeFileAtomically(path, entry, &error)) return true;
    logf(LogLevel::Error, "Desktop entry %s could not be written: %s", path, error);
    return false;
}

void installDesktopEntryIfRunFromBuildTree(const std::vector<std::string>& schemes) {
    if (!Bundle::runsFromBuildTree()) return;
    writeSchemeHandlerDesktopEntry(executablePath(), schemes);
}

}  // namespace platform
