// Reads config.xml: preferences, service-to-class map, start-up plug-ins, start page.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

class WHConfigParser {
public:
    // Parses the document; a parse error ends parsing and what was read before it stays.
    // Answers false when the parser could not be created or the file could not be read.
    bool parseFile(const std::string& path);
    void parseText(const std::string& text);

    std::map<std::string, std::string> pluginsDict;  // lower-cased service name -> class name
    std::map<std::string, std::string> settings;     // preference name -> value
    std::vector<std::string> whitelistHosts;
    std::optional<std::string> startPage;
    std::vector<std::string> startupPluginNames;

    // Element callbacks; attributes as name/value pairs in document order.
    void didStartElement(const std::string& name, const std::map<std::string, std::string>& attributes);
    void didEndElement(const std::string& name);

private:
    std::optional<std::string> featureName_;
};
