#include "bus/notice_document.h"

#include <fcntl.h>
#include <tinyxml.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

TiXmlElement* addNoticeRoot(TiXmlDocument& document) {
    document.LinkEndChild(new TiXmlDeclaration("", "", ""));
    return static_cast<TiXmlElement*>(document.LinkEndChild(new TiXmlElement("Zelt")));
}

namespace {

// A name beside `path` that no other writer uses: this process's id and a
// count of its own.
std::string temporaryNameFor(const char* path) {
    static std::atomic<unsigned> written{0};
    return std::string(path) + ".new." + std::to_string(getpid()) + "." +
           std::to_string(written.fetch_add(1));
}

bool writeTo(const TiXmlDocument& document, int descriptor) {
    std::FILE* file = fdopen(descriptor, "w");
    if (file == nullptr) {
        close(descriptor);
        return false;
    }
    const bool printed = document.SaveFile(file);
    return std::fclose(file) == 0 && printed;
}

}  // namespace

bool saveDocument(const TiXmlDocument& document, const char* path) {
    const std::string temporary = temporaryNameFor(path);
    // Created afresh (never through a link planted under that name), with
    // the permissions the file-creation mask gives.
    const int descriptor =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0) return false;
    if (writeTo(document, descriptor) && rename(temporary.c_str(), path) == 0) return true;
    unlink(temporary.c_str());
    return false;
}
