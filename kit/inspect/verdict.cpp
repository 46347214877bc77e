#include "kit/inspect/verdict.h"

#include <cstring>

#include "bus/notice_document.h"
#include "bus/subscription.h"
#include "tessard_plugin.h"

namespace kit {

namespace {

// The plugin that always heads the core's table.
constexpr std::uint64_t kFirstPluginId = 0x60000;

std::string signalWords(int signal) {
    const char* abbreviation = sigabbrev_np(signal);
    return "signal " + std::to_string(signal) +
           (abbreviation != nullptr ? std::string(", SIG") + abbreviation : std::string());
}

void breach(Verdict& verdict, const char* code, const std::string& text) {
    verdict.breaches.push_back(Breach{code, text});
}

// Whether the file reached Load at all; a breach for each way it did not.
bool judgeOpening(Verdict& verdict) {
    const LoadFindings& found = verdict.findings;
    if (!found.regularFile) {
        breach(verdict, "not-regular-file", "is not a regular file: the core does not load it");
        return false;
    }
    if (!found.fitsInFile) {
        breach(verdict, "cut-short",
               "is cut short: its headers reach beyond its end; the core does not load it");
        return false;
    }
    if (!found.opened && found.crashSignal) {
        breach(verdict, "crash-in-constructor",
               "crashed while the dynamic loader opened it (" + signalWords(*found.crashSignal) +
                   "): its constructors would end the server as it starts");
        return false;
    }
    if (!found.opened) {
        breach(verdict, "not-loadable",
               "the dynamic loader refuses it (" + found.openError +
                   "): the core reports \"Failed to load plugin: " + verdict.fileName +
                   " (missing dependency)\" and goes on without it");
        return false;
    }
    if (!found.exported(Entry::Load)) {
        breach(verdict, "no-load", "exports no Load: the core skips the library");
        return false;
    }
    return true;
}

// Whether Load returned; a breach when it crashed, hung or ended the child.
bool judgeLoadCall(Verdict& verdict) {
    const LoadFindings& found = verdict.findings;
    if (found.loadReturned) return true;
    if (found.timedOut) {
        breach(verdict, "load-hangs",
               "Load did not return within " + std::to_string(found.timeoutSeconds) +
                   " s: the server would hang as it starts");
    } else if (found.crashSignal) {
        breach(verdict, "load-crashes",
               "Load crashed (" + signalWords(*found.crashSignal) +
                   "): in the server this ends the process (\"tessard: plugin " + verdict.fileName +
                   " crashed the server in Load\")");
    } else {
        breach(verdict, "load-exits", "Load ended the process: the server would end with it");
    }
    return false;
}

void judgeAcceptance(Verdict& verdict) {
    const LoadFindings& found = verdict.findings;
    verdict.accepted = found.loadResult == 0 && found.info.loadError == 0;
    if (!verdict.accepted) {
        breach(verdict, "rejected",
               "Load returned " + std::to_string(found.loadResult) + " with loadError " +
                   std::to_string(found.info.loadError) +
                   ": the core rejects the plugin, calls nothing more of it and keeps its "
                   "library loaded");
        if (found.tasksAfter > found.tasksBefore) {
            breach(verdict, "threads-after-rejection",
                   std::to_string(found.tasksAfter - found.tasksBefore) +
                       " thread(s) it started still run after it rejected itself: nothing "
                       "will ever stop them");
        }
    } else if (found.tasksAfter > found.tasksBefore) {
        verdict.notes.push_back(std::to_string(found.tasksAfter - found.tasksBefore) +
                                " thread(s) of its own run when Load returns; Close must stop "
                                "and join them");
    }
}

void judgeIdentity(Verdict& verdict) {
    const std::uint64_t id = verdict.findings.info.id;
    verdict.statusDocumentId = asSigned32(id);
    if (id == CORE_ID) {
        breach(verdict, "core-id",
               "uses the core's own id 0x80000000: the core refuses it (\"plugin " +
                   verdict.fileName + " uses the core's own ID 0x80000000; it is not loaded\")");
    } else if (id == kFirstPluginId) {
        breach(verdict, "front-id",
               "takes the id 0x60000, which the core puts first in its table, ahead of every "
               "other plugin, whatever the directory order");
    } else if (id == 0) {
        breach(verdict, "zero-id",
               "has the id 0: every message it sends with its id as source is taken for a "
               "read request or a cancel");
    }
    if ((id >> 32) != 0) {
        verdict.notes.push_back("the id's upper 32 bits are not zero: \"plugins.xml\" and the "
                                "statistics show only the lower 32, while the core compares "
                                "all 64 to refuse a second plugin with the same id");
    }
}

void judgeEntryPoints(Verdict& verdict) {
    const LoadFindings& found = verdict.findings;
    const PluginInfo& info = found.info;
    struct Flagged {
        bool set;
        Entry entry;
        const char* flag;
    };
    for (const Flagged& flagged : {Flagged{info.writeEvents != 0, Entry::Write, "writeEvents"},
                                   Flagged{info.readPolling != 0, Entry::Read, "readPolling"},
                                   Flagged{info.ioctlOnLoad != 0, Entry::IOCTL, "ioctlOnLoad"}}) {
        if (flagged.set && !found.exported(flagged.entry)) {
            breach(verdict, "flag-without-entry",
                   std::string(flagged.flag) + " is set but " + entryName(flagged.entry) +
                       " is not exported: the core skips those calls");
        }
    }
    for (Entry entry : {Entry::Open, Entry::Close, Entry::Unload, Entry::IOCTL}) {
        if (found.exported(entry)) continue;
        breach(verdict, "missing-entry",
               std::string("does not export ") + entryName(entry) +
                   ": the core skips those calls and says so as it loads the plugin "
                   "(\"plugin " + verdict.fileName + " does not export ...\")");
    }
    if (info.reserved0 != 0 || info.reserved1 != 0 || info.reserved2 != 0 || info.reserved3 != 0) {
        breach(verdict, "reserved-written",
               "wrote into PluginInfo's reserved fields, which must stay zero");
    }
}

void judgeMasks(Verdict& verdict) {
    const LoadFindings& found = verdict.findings;
    const bool writes = found.info.writeEvents != 0 && found.exported(Entry::Write);
    const bool reads = found.info.readPolling != 0 && found.exported(Entry::Read);
    for (int entry = 0; entry < 9; ++entry) {
        const std::uint64_t mask = found.info.eventMasks[entry];
        if (mask != 0) verdict.masks.push_back(describeMask(entry, mask, writes, reads));
    }
}

NoticeReception broadcastNotice(const Verdict& verdict, const char* notice) {
    NoticeReception reception{notice, "IOCTL code 2 (MSG_TO_OTHERS), whatever the masks", false, ""};
    reception.receives = verdict.findings.exported(Entry::IOCTL);
    if (!reception.receives) reception.why = "IOCTL is not exported";
    return reception;
}

NoticeReception writeNotice(const Verdict& verdict, const char* notice, int entry,
                            std::uint64_t type, const char* typeName) {
    const LoadFindings& found = verdict.findings;
    const std::uint64_t key = subscription::deliveryKey(type);
    NoticeReception reception{notice,
                              "Write, MSG_SELECT_" + std::to_string(entry) + ", " + typeName +
                                  ": entry " + std::to_string(entry) + " must cover " + hex(key),
                              false, ""};
    if (!subscription::covers(found.info.eventMasks[entry], key)) {
        reception.why = "entry " + std::to_string(entry) + " does not cover " + hex(key);
    } else if (found.info.writeEvents == 0) {
        reception.why = "the mask covers it, but writeEvents is off";
    } else if (!found.exported(Entry::Write)) {
        reception.why = "the mask covers it, but Write is not exported";
    } else {
        reception.receives = true;
    }
    return reception;
}

void judgeNotices(Verdict& verdict) {
    verdict.notices.push_back(broadcastNotice(verdict, "plugin table (\"plugins.xml\")"));
    verdict.notices.push_back(broadcastNotice(verdict, "memory setting (\"core.xml\")"));
    verdict.notices.push_back(writeNotice(verdict, "memory state", 2, MSG_TYPE_XML, "MSG_TYPE_XML"));
    verdict.notices.push_back(writeNotice(verdict, "clock jumps, throttling, failed loads (text)",
                                          6, MSG_TYPE_TEXT, "MSG_TYPE_TEXT"));
    verdict.notices.push_back(
        writeNotice(verdict, "statistics", 7, MSG_TYPE_STATISTICS, "MSG_TYPE_STATISTICS"));
}

void judgeCloseOrder(Verdict& verdict) {
    verdict.closeKey = verdict.findings.info.eventMasks[5];
    if (verdict.closeKey == 0) {
        verdict.closeOrder = "close key 0, the default: closed and unloaded after every plugin "
                             "with a higher key, among those that set none, in no defined order";
        return;
    }
    verdict.closeOrder = "close key " + std::to_string(verdict.closeKey) +
                         ": closed and unloaded before every plugin with a lower key (all that "
                         "set none have 0) and after those with a higher one; equal keys in no "
                         "defined order";
    if (verdict.findings.info.writeEvents != 0 || verdict.findings.info.readPolling != 0) {
        verdict.notes.push_back("entry 5 is the close key and a mask at once: it also takes "
                                "MSG_SELECT_5 messages whose key it covers");
    }
}

void judgeMessagesDuringLoad(Verdict& verdict) {
    std::size_t duringLoad = 0;
    for (const SentMessage& message : verdict.findings.sent) duringLoad += message.afterLoad ? 0 : 1;
    if (duringLoad == 0) return;
    breach(verdict, "sent-during-load",
           "sent " + std::to_string(duringLoad) +
               " message(s) during Load: events wait until every plugin has loaded and opened, "
               "a read request reaches only the plugins loaded before it, and an answer under a "
               "handle is refused; send from Open or later");
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Verdict judge(const LoadFindings& findings) {
    Verdict verdict;
    verdict.findings = findings;
    verdict.fileName = baseName(findings.path);
    if (!judgeOpening(verdict)) return verdict;
    judgeEntryPoints(verdict);
    judgeMessagesDuringLoad(verdict);
    if (!judgeLoadCall(verdict)) return verdict;
    verdict.judged = true;
    judgeAcceptance(verdict);
    judgeIdentity(verdict);
    judgeMasks(verdict);
    judgeNotices(verdict);
    judgeCloseOrder(verdict);
    return verdict;
}

}  // namespace kit
