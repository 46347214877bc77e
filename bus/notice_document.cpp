#include "bus/notice_document.h"

#include <tinyxml.h>

TiXmlElement* addNoticeRoot(TiXmlDocument& document) {
    document.LinkEndChild(new TiXmlDeclaration("", "", ""));
    return static_cast<TiXmlElement*>(document.LinkEndChild(new TiXmlElement("Zelt")));
}
