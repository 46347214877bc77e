#include "monitor/settings_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The position just past the first `terminator` at or after `from`, or the
// end of the text.
std::size_t after(const std::string& text, std::size_t from, const char* terminator) {
    const std::size_t found = text.find(terminator, from);
    return found == std::string::npos ? text.size() : found + std::char_traits<char>::length(terminator);
}

// The position just past the '>' that ends the tag starting at `from`, with
// quoted attribute values skipped; `empty` tells whether it was "/>".
std::size_t tagEnd(const std::string& text, std::size_t from, bool& empty) {
    char quote = 0;
    for (std::size_t at = from; at < text.size(); ++at) {
        const char c = text[at];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            empty = at > from && text[at - 1] == '/';
            return at + 1;
        }
    }
    empty = false;
    return text.size();
}

bool readAll(int descriptor, std::size_t size, std::string& text) {
    text.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = read(descriptor, &text[done], size - done);
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

bool nestingWithin(const std::string& text, int limit) {
    int depth = 0;
    std::size_t at = text.find('<');
    while (at != std::string::npos && at + 1 < text.size()) {
        const char next = text[at + 1];
        if (text.compare(at, 4, "<!--") == 0) {
            at = after(text, at, "-->");
        } else if (text.compare(at, 9, "<![CDATA[") == 0) {
            at = after(text, at, "]]>");
        } else if (next == '?' || next == '!') {
            at = after(text, at, ">");
        } else if (next == '/') {
            depth = depth > 0 ? depth - 1 : 0;
            at = after(text, at, ">");
        } else {
            bool empty = false;
            at = tagEnd(text, at + 1, empty);
            if (depth + 1 > limit) return false;
            if (!empty) ++depth;
        }
        at = text.find('<', at);
    }
    return true;
}

std::optional<std::string> readSettingsText(const char* path) {
    // Not following a link, and not waiting for a FIFO's writer.
    const int descriptor = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    struct stat status;
    std::string text;
    const bool usable = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
                        static_cast<std::size_t>(status.st_size) <= kMaxSettingsBytes &&
                        readAll(descriptor, static_cast<std::size_t>(status.st_size), text);
    close(descriptor);
    if (!usable || !nestingWithin(text, kMaxSettingsDepth)) return std::nullopt;
    return text;
}
