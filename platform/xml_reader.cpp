#include "platform/xml_reader.h"

#include <expat.h>

namespace platform {

namespace {

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** atts) {
    const auto* handlers = static_cast<const XmlHandlers*>(data);
    if (!handlers->startElement) return;
    XmlAttributes attributes;
    for (int i = 0; atts[i] && atts[i + 1]; i += 2) attributes.emplace(atts[i], atts[i + 1]);
    handlers->startElement(name, attributes);
}

void XMLCALL onEnd(void* data, const XML_Char* name) {
    const auto* handlers = static_cast<const XmlHandlers*>(data);
    if (handlers->endElement) handlers->endElement(name);
}

}  // namespace

bool readXml(std::string_view text, const XmlHandlers& handlers) {
    XML_Parser p = XML_ParserCreate(nullptr);
    if (!p) return false;
    XML_SetUserData(p, const_cast<XmlHandlers*>(&handlers));
    XML_SetElementHandler(p, &onStart, &onEnd);
    XML_Parse(p, text.data(), static_cast<int>(text.size()), XML_TRUE);
    XML_ParserFree(p);
    return true;
}

}  // namespace platform
