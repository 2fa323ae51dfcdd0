// A streaming XML reader: the document's elements to callbacks, in document order. No namespace
// processing: names are passed as written, prefix included.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace platform {

using XmlAttributes = std::map<std::string, std::string>;

struct XmlHandlers {
    std::function<void(const std::string& name, const XmlAttributes& attributes)> startElement;
    std::function<void(const std::string& name)> endElement;
};

// A parse error ends the reading; the elements handed over before it stay handed over. False only
// when no parser could be made.
bool readXml(std::string_view text, const XmlHandlers& handlers);

}  // namespace platform
