#include "kit/inspect/mask_words.h"

#include <bitset>
#include <cstdio>

#include "bus/subscription.h"
#include "tessard_plugin.h"

namespace kit {

namespace {

constexpr std::uint64_t kKindBits = subscription::kKindBits;
// Mask bits that a delivery key's class bits can reach: 25 to 63.
constexpr std::uint64_t kEventClassKeyBits = UINT64_C(0xFFFFFFFFFE000000);
// Mask bits that a read key's class bits can reach: 23 to 62.
constexpr std::uint64_t kReadClassKeyBits = UINT64_C(0x7FFFFFFFFF800000);
constexpr int kListedBits = 4;

struct NamedType {
    const char* name;
    std::uint64_t type;
};

const NamedType kNamedTypes[] = {{"MSG_TYPE_TEXT", MSG_TYPE_TEXT},
                                 {"MSG_TYPE_XML", MSG_TYPE_XML},
                                 {"MSG_TYPE_STATISTICS", MSG_TYPE_STATISTICS},
                                 {"MSG_TYPE_SEQUENCED", MSG_TYPE_SEQUENCED}};

// Every type made of some bits of `largest`, smallest first.
std::vector<std::uint64_t> subsetsOf(std::uint64_t largest) {
    std::vector<std::uint64_t> types;
    std::uint64_t subset = 0;
    do {
        types.push_back(subset);
        subset = (subset - largest) & largest;  // the next subset, in counting order
    } while (subset != 0);
    return types;
}

template <typename Fold>
FoldView viewOf(std::uint64_t mask, std::uint64_t largest, bool applies, Fold fold) {
    FoldView view;
    view.applies = applies;
    view.largestType = largest;
    view.bits = static_cast<int>(std::bitset<64>(largest).count());
    if (view.bits <= kListedBits) view.types = subsetsOf(largest);
    for (const NamedType& named : kNamedTypes) {
        if (subscription::covers(mask, fold(named.type))) view.namedTypes.push_back(named.name);
    }
    return view;
}

std::string typeList(const FoldView& view) {
    if (view.types.empty()) {
        return "every type whose bits lie within " + hex(view.largestType) + " (" +
               std::to_string(view.bits) + " bits)";
    }
    std::string text;
    for (auto type = view.types.rbegin(); type != view.types.rend(); ++type) {
        text += (text.empty() ? "" : ", ") + typeWord(*type);
    }
    return text;
}

std::string foldLine(const MaskEntry& entry, const FoldView& view, bool write) {
    const std::uint64_t largest = view.largestType;
    std::string line = write ? "  Write, events: " : "  Read, read requests: ";
    if (!view.applies) line += write ? "(not used: no writeEvents or no Write) "
                                     : "(not used: no readPolling or no Read) ";
    line += "types " + typeList(view);
    line += write ? "; delivery key of " : "; read key of ";
    line += hex(largest) + " = " +
            hex(write ? subscription::deliveryKey(largest) : subscription::readKey(largest));
    line += write ? ", its read key " + hex(subscription::readKey(largest))
                  : ", its delivery key " + hex(subscription::deliveryKey(largest));
    const bool otherCovered = subscription::covers(
        entry.mask, write ? subscription::readKey(largest) : subscription::deliveryKey(largest));
    line += otherCovered ? " (covered too)" : " (not covered)";
    if (write && largest != 0) line += "; bit 63 of a type is folded away";
    return line;
}

}  // namespace

std::uint64_t largestEventType(std::uint64_t mask) {
    return (mask & kKindBits) | ((mask & kEventClassKeyBits) >> 1);
}

std::uint64_t largestReadType(std::uint64_t mask) {
    return (mask & kKindBits) | ((mask & kReadClassKeyBits) << 1);
}

std::uint64_t selectFlagOf(int entry) {
    return entry == 8 ? MSG_SELECT_8 : UINT64_C(1) << entry;
}

MaskEntry describeMask(int entry, std::uint64_t mask, bool writes, bool reads) {
    MaskEntry described;
    described.entry = entry;
    described.selectFlag = selectFlagOf(entry);
    described.mask = mask;
    described.write = viewOf(mask, largestEventType(mask), writes, subscription::deliveryKey);
    described.read = viewOf(mask, largestReadType(mask), reads, subscription::readKey);
    return described;
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string typeWord(std::uint64_t type) {
    for (const NamedType& named : kNamedTypes) {
        if (named.type == type) return hex(type) + " (" + named.name + ")";
    }
    return hex(type);
}

std::vector<std::string> maskLines(const MaskEntry& entry) {
    std::vector<std::string> lines;
    std::string head = "entry " + std::to_string(entry.entry) + " (MSG_SELECT_" +
                       std::to_string(entry.entry) + ", flag " + hex(entry.selectFlag) +
                       ") = " + hex(entry.mask);
    if (entry.entry == 5) head += "; also the close key";
    lines.push_back(head);
    if (entry.write.applies || !entry.read.applies) lines.push_back(foldLine(entry, entry.write, true));
    if (entry.read.applies || !entry.write.applies) lines.push_back(foldLine(entry, entry.read, false));
    return lines;
}

}  // namespace kit
