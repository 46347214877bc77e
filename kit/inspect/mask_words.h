// One subscription mask entry, worked out: which types it takes through
// each of the two key folds, in numbers and in words.
//
// An entry is tried for an event (delivered by Write) against the type's
// delivery key, and for a read request (which starts Read workers) against
// its read key; the two folds move the class bits (24-63) in opposite
// directions. Inverting a fold gives the largest type whose key the mask
// covers; every type made of some of its bits is covered too. Pure
// functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kit {

// What one entry takes through one fold.
struct FoldView {
    // Whether the plugin's flags and exports put this fold to use.
    bool applies = false;
    // The largest type the entry covers through this fold; every type made
    // of some of its bits is covered too.
    std::uint64_t largestType = 0;
    // Those types, when there are at most 16 of them.
    std::vector<std::uint64_t> types;
    // How many bits the largest type has (2^bits types are covered).
    int bits = 0;
    // The SDK's named types it covers.
    std::vector<std::string> namedTypes;
};

struct MaskEntry {
    int entry = 0;
    std::uint64_t selectFlag = 0;  // MSG_SELECT_<entry>
    std::uint64_t mask = 0;
    FoldView write;  // events, by Write, through the delivery key
    FoldView read;   // read requests, by Read, through the read key
};

// The largest type an entry covers through each fold.
std::uint64_t largestEventType(std::uint64_t mask);
std::uint64_t largestReadType(std::uint64_t mask);

// The flag that selects entry `entry` (0 to 8).
std::uint64_t selectFlagOf(int entry);

MaskEntry describeMask(int entry, std::uint64_t mask, bool writes, bool reads);

// "0x1000100" for a type word; names the SDK's types ("MSG_TYPE_TEXT").
std::string hex(std::uint64_t value);
std::string typeWord(std::uint64_t type);

// The entry in plain words, one line for each fold that it could serve.
std::vector<std::string> maskLines(const MaskEntry& entry);

}  // namespace kit
