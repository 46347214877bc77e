// The inspector's judgement of one plugin: its identity as the core will
// show it, its masks in words, the core's notices it will receive, where it
// stands in the close order, and the contract breaches the core would work
// around or refuse.
//
// Pure: built from LoadFindings alone, on one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kit/inspect/findings.h"
#include "kit/inspect/mask_words.h"

namespace kit {

struct Breach {
    std::string code;  // a stable word for scripts: "core-id", "missing-entry" ...
    std::string text;  // the same in a sentence
};

// One of the core's notices, and whether and how the plugin receives it.
struct NoticeReception {
    std::string notice;
    std::string route;  // "IOCTL code 2 (MSG_TO_OTHERS)", "Write, MSG_SELECT_6, MSG_TYPE_TEXT"
    bool receives = false;
    std::string why;    // when it does not
};

struct Verdict {
    LoadFindings findings;
    std::string fileName;
    // Whether Load returned, so that what it filled in can be judged.
    bool judged = false;
    bool accepted = false;
    std::int32_t statusDocumentId = 0;  // the id as "plugins.xml" prints it
    std::vector<MaskEntry> masks;       // the nonzero entries
    std::vector<NoticeReception> notices;
    std::uint64_t closeKey = 0;
    std::string closeOrder;
    std::vector<std::string> notes;
    std::vector<Breach> breaches;
};

Verdict judge(const LoadFindings& findings);

}  // namespace kit
