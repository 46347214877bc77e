// The verdict as text: one labelled block per question an author asks,
// breaches last, each on a line of its own.

#include <cstdio>
#include <string>

#include "kit/inspect/report.h"

namespace kit {

namespace {

void printEntryPoints(const Verdict& verdict, std::ostream& out) {
    std::string present;
    std::string absent;
    for (int entry = 0; entry < kEntryCount; ++entry) {
        std::string& list = verdict.findings.exported(static_cast<Entry>(entry)) ? present : absent;
        list += (list.empty() ? "" : " ") + std::string(entryName(static_cast<Entry>(entry)));
    }
    out << "entry points   " << (present.empty() ? "none" : present);
    if (!absent.empty()) out << "  (not exported: " << absent << ")";
    out << "\n";
}

void printLoad(const Verdict& verdict, std::ostream& out) {
    const LoadFindings& found = verdict.findings;
    char milliseconds[32];
    std::snprintf(milliseconds, sizeof milliseconds, "%.1f", found.loadMicroseconds / 1000.0);
    out << "Load           returned " << found.loadResult << " in " << milliseconds
        << " ms, loadError " << found.info.loadError << ": "
        << (verdict.accepted ? "accepted" : "rejected") << "\n";
    out << "threads        " << found.tasksBefore << " before Load, " << found.tasksAfter
        << " after\n";
    out << "id             " << hex(found.info.id) << "; \"plugins.xml\" shows ID=\""
        << verdict.statusDocumentId << "\"\n";
    out << "flags          writeEvents " << int(found.info.writeEvents) << ", readPolling "
        << int(found.info.readPolling) << ", ioctlOnLoad " << int(found.info.ioctlOnLoad) << "\n";
}

void printMasks(const Verdict& verdict, std::ostream& out) {
    out << "masks" << (verdict.masks.empty() ? "          all zero: no event and no read "
                                                "request selects this plugin\n"
                                              : "\n");
    for (const MaskEntry& entry : verdict.masks) {
        for (const std::string& line : maskLines(entry)) out << "  " << line << "\n";
    }
}

void printNotices(const Verdict& verdict, std::ostream& out) {
    out << "core notices\n";
    for (const NoticeReception& notice : verdict.notices) {
        out << (notice.receives ? "  yes  " : "  no   ") << notice.notice << ": " << notice.route;
        if (!notice.receives) out << "; " << notice.why;
        out << "\n";
    }
}

// The payload's first bytes with everything unprintable as '.'.
std::string printable(const std::string& bytes) {
    std::string text = bytes;
    for (char& character : text) {
        if (character < ' ' || character > '~') character = '.';
    }
    return text;
}

void printSent(const Verdict& verdict, std::ostream& out) {
    if (verdict.findings.sent.empty()) return;
    out << "sent\n";
    for (const SentMessage& message : verdict.findings.sent) {
        out << "  " << (message.afterLoad ? "after Load " : "during Load") << "  source "
            << hex(message.source) << ", flags " << hex(message.flags) << ", type "
            << typeWord(message.type) << ", handle " << hex(message.handle) << ", "
            << message.length << " bytes";
        if (!message.preview.empty()) out << ": \"" << printable(message.preview) << "\"";
        out << "\n";
    }
}

}  // namespace

void printText(const Verdict& verdict, std::ostream& out) {
    out << "plugin         " << verdict.findings.path << "\n";
    printEntryPoints(verdict, out);
    if (verdict.judged) {
        printLoad(verdict, out);
        printMasks(verdict, out);
        printNotices(verdict, out);
        out << "close order    " << verdict.closeOrder << "\n";
    }
    printSent(verdict, out);
    for (const std::string& note : verdict.notes) out << "note           " << note << "\n";
    if (verdict.breaches.empty()) {
        out << "breaches       none\n";
        return;
    }
    for (const Breach& breach : verdict.breaches) {
        out << "BREACH         " << breach.text << " [" << breach.code << "]\n";
    }
}

}  // namespace kit
