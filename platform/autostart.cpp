#include "platform/autostart.h"

#include <glib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/paths.h"

namespace platform {

std::string autostartEntryPath(const std::string& id) { return configHome() + "/autostart/" + id + ".desktop"; }

bool isAutostartEntryEnabled(const std::string& id) {
    g_autoptr(GKeyFile) file = g_key_file_new();
    bool enabled = false;
    if (g_key_file_load_from_file(file, autostartEntryPath(id).c_str(), G_KEY_FILE_NONE, nullptr) &&
        g_key_file_has_group(file, G_KEY_FILE_DESKTOP_GROUP)) {
        auto flag = [&](const char* key, bool absent) {
            g_autoptr(GError) e = nullptr;
            gboolean v = g_key_file_get_boolean(file, G_KEY_FILE_DESKTOP_GROUP, key, &e);
            if (e) return absent;
            return v != FALSE;
        };
        enabled = !flag(G_KEY_FILE_DESKTOP_KEY_HIDDEN, false) && flag("X-GNOME-Autostart-enabled", true);
    }
    return enabled;
}

std::string desktopExecQuote(const std::string& argument) {
    // "%" opens a field code everywhere in Exec, inside quotes too: a literal one is "%%".
    std::string escaped;
    for (char c : argument) {
        escaped += c;
        if (c == '%') escaped += '%';
    }
    bool plain = !argument.empty();
    for (char c : argument) {
        if (!(g_ascii_isalnum(c) || std::strchr("-_./:+,@=%", c) != nullptr) || c == 0) plain = false;
    }
    if (plain) return escaped;
    std::string out = "\"";
    for (char c : escaped) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

bool setAutostartEntry(const std::string& id, bool enabled, const std::string& name, const std::string& program,
                       const std::string& arguments, std::string* error) {
    const std::string path = autostartEntryPath(id);
    if (!enabled) {
        if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
        if (error) *error = "remove " + path + ": " + std::strerror(errno);
        return false;
    }
    g_autoptr(GKeyFile) file = g_key_file_new();
    const char* group = G_KEY_FILE_DESKTOP_GROUP;
    g_key_file_set_string(file, group, G_KEY_FILE_DESKTOP_KEY_TYPE, G_KEY_FILE_DESKTOP_TYPE_APPLICATION);
    g_key_file_set_string(file, group, G_KEY_FILE_DESKTOP_KEY_NAME, name.c_str());
    std::string exec = desktopExecQuote(program);
    if (!arguments.empty()) exec += " " + arguments;
    // The key file writer escapes backslashes once more, as the format wants.
    g_key_file_set_string(file, group, G_KEY_FILE_DESKTOP_KEY_EXEC, exec.c_str());
    g_key_file_set_boolean(file, group, G_KEY_FILE_DESKTOP_KEY_TERMINAL, FALSE);
    g_key_file_set_boolean(file, group, G_KEY_FILE_DESKTOP_KEY_NO_DISPLAY, TRUE);
    g_key_file_set_boolean(file, group, "X-GNOME-Autostart-enabled", TRUE);
    gsize length = 0;
    g_autofree char* data = g_key_file_to_data(file, &length, nullptr);
    std::string content(data ? data : "", length);
    std::string why;
    if (writeFileAtomically(path, content, &why)) return true;
    if (error) *error = "write " + path + ": " + why;
    return false;
}

}  // namespace platform
