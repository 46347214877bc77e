#include "bus/notice_document.h"

#include <fcntl.h>
#include <tinyxml.h>
#include <unistd.h>

#include <cstdio>

TiXmlElement* addNoticeRoot(TiXmlDocument& document) {
    document.LinkEndChild(new TiXmlDeclaration("", "", ""));
    return static_cast<TiXmlElement*>(document.LinkEndChild(new TiXmlElement("Zelt")));
}

bool saveDocument(const TiXmlDocument& document, const char* path) {
    const int descriptor = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (descriptor < 0) return false;
    std::FILE* file = fdopen(descriptor, "w");
    if (file == nullptr) {
        close(descriptor);
        return false;
    }
    const bool printed = document.SaveFile(file);
    return std::fclose(file) == 0 && printed;
}
