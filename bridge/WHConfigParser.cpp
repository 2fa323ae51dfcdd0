#include "bridge/WHConfigParser.h"

#include <algorithm>
#include <cctype>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/xml_reader.h"
#include "platform/strings.h"

static const std::string* attr(const std::map<std::string, std::string>& a, const char* name) {
    auto it = a.find(name);
    return it == a.end() ? nullptr : &it->second;
}

void WHConfigParser::didStartElement(const std::string& name, const std::map<std::string, std::string>& a) {
    if (name == "preference") {
        const std::string* n = attr(a, "name");
        if (!n) return;
        if (const std::string* v = attr(a, "value")) {
            settings[*n] = *v;
        } else {
            settings.erase(*n);
        }
    } else if (name == "feature") {
        const std::string* n = attr(a, "name");
        featureName_ = platform::asciiLower(n ? *n : std::string());
    } else if (name == "param") {
        if (!featureName_) return;
        const std::string* n = attr(a, "name");
        const std::string* v = attr(a, "value");
        std::string paramName = platform::asciiLower(n ? *n : std::string());
        if (paramName == "ios-package" || paramName == "osx-package") {
            if (v) {
                pluginsDict[*featureName_] = *v;
            } else {
                pluginsDict.erase(*featureName_);
            }
        }
        const std::string* onload = attr(a, "onload");
        if ((paramName == "onload" && v && *v == "true") || (onload && platform::asciiLower(*onload) == "true")) {
            startupPluginNames.push_back(*featureName_);
        }
    } else if (name == "access") {
        if (const std::string* o = attr(a, "origin")) whitelistHosts.push_back(*o);
    } else if (name == "content") {
        const std::string* src = attr(a, "src");
        startPage = src ? std::optional<std::string>(*src) : std::nullopt;
    }
}

void WHConfigParser::didEndElement(const std::string& name) {
    if (name == "feature") featureName_.reset();
}

void WHConfigParser::parseText(const std::string& text) {
    // A parse error stops here; what was collected before it stays.
    platform::XmlHandlers handlers{
        [this](const std::string& name, const platform::XmlAttributes& a) { didStartElement(name, a); },
        [this](const std::string& name) { didEndElement(name); }};
    if (!platform::readXml(text, handlers)) platform::logLine(platform::LogLevel::Error, "Failed to initialize XML parser.");
}

bool WHConfigParser::parseFile(const std::string& path) {
    std::string text;
    if (!platform::readFile(path, text)) {
        platform::logLine(platform::LogLevel::Error, "Failed to initialize XML parser.");
        return false;
    }
    parseText(text);
    return true;
}
