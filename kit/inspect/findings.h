// LoadFindings: what the inspector learnt about one plugin library by
// loading it in a child process and calling its Load, before it judges
// anything.
//
// Built by the parent from the child's records (isolated_load.h); read by
// the verdict. Plain data, one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tessard_plugin.h"

namespace kit {

// The entry points a plugin library may export; each one's place is its
// bit in LoadFindings::exports.
enum class Entry { Load, Unload, Open, Close, Read, Write, Seek, IOCTL };
constexpr int kEntryCount = 8;
const char* entryName(Entry entry);

// One message the plugin handed to the callback while the child ran.
struct SentMessage {
    std::uint32_t length = 0;
    std::uint64_t source = 0;
    std::uint64_t handle = 0;
    std::uint64_t flags = 0;
    std::uint64_t type = 0;
    std::uint8_t sequenceStart = 0;
    // The payload's first bytes, as sent.
    std::string preview;
    // Whether Load had returned when the message came.
    bool afterLoad = false;
};

struct LoadFindings {
    std::string path;
    // Whether the file is a regular file whose ELF headers lie inside it;
    // a library that fails either is never opened.
    bool regularFile = true;
    bool fitsInFile = true;
    // The dynamic loader's answer; empty when the library opened.
    std::string openError;
    bool opened = false;
    // Bit i set: the library exports Entry i.
    unsigned exports = 0;

    // What Load did; `loadReturned` is false when it crashed or hung.
    bool loadReturned = false;
    std::int32_t loadResult = 0;
    PluginInfo info{};
    std::int64_t loadMicroseconds = 0;
    std::size_t tasksBefore = 0;
    std::size_t tasksAfter = 0;
    std::vector<SentMessage> sent;

    // How the child ended when Load did not return.
    std::optional<int> crashSignal;
    bool timedOut = false;
    int timeoutSeconds = 0;

    bool exported(Entry entry) const { return (exports >> static_cast<int>(entry)) & 1u; }
};

}  // namespace kit
