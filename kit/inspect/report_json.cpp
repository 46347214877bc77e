// The verdict as one JSON document. Numbers that may pass 2^53 (ids, masks,
// types, flags) are written as hexadecimal strings, so that no reader loses
// bits; counts and codes are numbers.

#include <nlohmann/json.hpp>

#include "kit/inspect/report.h"

namespace kit {

namespace {

using nlohmann::json;

json foldJson(const FoldView& view) {
    json types = json::array();
    for (std::uint64_t type : view.types) types.push_back(hex(type));
    return json{{"applies", view.applies},
                {"largestType", hex(view.largestType)},
                {"typeBits", view.bits},
                {"types", types},
                {"namedTypes", view.namedTypes}};
}

json masksJson(const Verdict& verdict) {
    json masks = json::array();
    for (const MaskEntry& entry : verdict.masks) {
        masks.push_back(json{{"entry", entry.entry},
                             {"selectFlag", hex(entry.selectFlag)},
                             {"mask", hex(entry.mask)},
                             {"write", foldJson(entry.write)},
                             {"read", foldJson(entry.read)},
                             {"words", maskLines(entry)}});
    }
    return masks;
}

json noticesJson(const Verdict& verdict) {
    json notices = json::array();
    for (const NoticeReception& notice : verdict.notices) {
        notices.push_back(json{{"notice", notice.notice},
                               {"route", notice.route},
                               {"receives", notice.receives},
                               {"why", notice.why}});
    }
    return notices;
}

json sentJson(const Verdict& verdict) {
    json sent = json::array();
    for (const SentMessage& message : verdict.findings.sent) {
        sent.push_back(json{{"duringLoad", !message.afterLoad},
                            {"source", hex(message.source)},
                            {"handle", hex(message.handle)},
                            {"flags", hex(message.flags)},
                            {"type", hex(message.type)},
                            {"length", message.length},
                            {"preview", message.preview}});
    }
    return sent;
}

json loadJson(const Verdict& verdict) {
    const LoadFindings& found = verdict.findings;
    json load{{"returned", found.loadReturned},
              {"timedOut", found.timedOut},
              {"crashSignal", found.crashSignal ? json(*found.crashSignal) : json(nullptr)},
              {"threadsBefore", found.tasksBefore},
              {"threadsAfter", found.tasksAfter}};
    if (!verdict.judged) return load;
    load["result"] = found.loadResult;
    load["loadError"] = found.info.loadError;
    load["microseconds"] = found.loadMicroseconds;
    load["accepted"] = verdict.accepted;
    return load;
}

json entryPointsJson(const LoadFindings& found) {
    json exports = json::array();
    for (int entry = 0; entry < kEntryCount; ++entry) {
        if (found.exported(static_cast<Entry>(entry))) {
            exports.push_back(entryName(static_cast<Entry>(entry)));
        }
    }
    return exports;
}

}  // namespace

void printJson(const Verdict& verdict, std::ostream& out) {
    const LoadFindings& found = verdict.findings;
    json document{{"plugin", found.path},
                  {"opened", found.opened},
                  {"entryPoints", entryPointsJson(found)},
                  {"load", loadJson(verdict)},
                  {"sent", sentJson(verdict)},
                  {"notes", verdict.notes}};
    if (verdict.judged) {
        document["id"] = json{{"hex", hex(found.info.id)}, {"pluginsXml", verdict.statusDocumentId}};
        document["flags"] = json{{"writeEvents", found.info.writeEvents != 0},
                                 {"readPolling", found.info.readPolling != 0},
                                 {"ioctlOnLoad", found.info.ioctlOnLoad != 0}};
        document["masks"] = masksJson(verdict);
        document["notices"] = noticesJson(verdict);
        document["closeKey"] = hex(verdict.closeKey);
        document["closeOrder"] = verdict.closeOrder;
    }
    json breaches = json::array();
    for (const Breach& breach : verdict.breaches) {
        breaches.push_back(json{{"code", breach.code}, {"text", breach.text}});
    }
    document["breaches"] = breaches;
    out << document.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

}  // namespace kit
