// The application bundle: a resource folder holding config.xml, www/, the string table
// (strings/<language>.json) and icons/. It is the folder named by KIVANO_BUNDLE_DIR, else
// "Resources" beside the program (the build tree), else ../share/kivano from the program's folder
// (installed), else "Resources" in the folder above the program's (tests and benchmarks).
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class Bundle {
public:
    static Bundle& main();

    const std::string& resourcePath();
    // `name` may carry its extension; `type` is appended with a dot when not empty; `subdir`
    // is relative to the resource folder. Answers the path when a regular file is there.
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type = "",
                                               const std::string& subdir = "");

    std::string identifier() const { return KIVANO_BUNDLE_ID; }
    std::string name() const { return KIVANO_APP_NAME; }
    std::string shortVersion() const { return KIVANO_SHORT_VERSION; }
    std::string buildNumber() const { return KIVANO_BUILD_NUMBER; }

    // The text of a key in the string table of the user's language; the key itself when absent.
    std::string localizedString(const std::string& key);

    // The user's languages in order of preference (from LANGUAGE, LC_ALL, LC_MESSAGES, LANG),
    // as language tags such as "de-AT"; "en" when none is set.
    static std::vector<std::string> preferredLanguages();

    // The program runs from its build tree: the assembled bundle "Resources" is beside it.
    static bool runsFromBuildTree();

    // Tests point the bundle elsewhere; an empty path returns to the normal lookup.
    void setResourcePathForTesting(const std::string& path);

private:
    void loadStringsLocked();
    std::mutex mutex_;
    std::string resourcePath_;
    bool stringsLoaded_ = false;
    std::map<std::string, std::string> strings_;
};

}  // namespace platform
