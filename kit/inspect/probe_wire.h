// The records the inspector's child process writes to its parent through a
// pipe, one write() each, so that every record arrives whole even when the
// child dies right after it (each is smaller than PIPE_BUF).
//
// The child writes, in order: what it opened, each message as the plugin
// sends it, and what Load returned. A child that crashes or hangs in Load
// has written the first two kinds, which the parent then reports with the
// signal or the timeout.
#pragma once

#include <cstdint>

#include "tessard_plugin.h"

namespace kit::wire {

enum class Kind : std::uint32_t { Opened = 1, OpenFailed = 2, Message = 3, LoadDone = 4 };

struct Header {
    Kind kind;
    std::uint32_t bytes;  // of the body that follows
};

struct Opened {
    std::uint32_t exports;  // bit i: Entry i
    std::uint32_t tasksBefore;
};

struct OpenFailed {
    char reason[1024];
};

constexpr std::uint32_t kPreviewBytes = 256;

struct Message {
    std::uint32_t length;
    std::uint8_t sequenceStart;
    std::uint8_t afterLoad;
    std::uint16_t previewLength;
    std::uint64_t source;
    std::uint64_t handle;
    std::uint64_t flags;
    std::uint64_t type;
    char preview[kPreviewBytes];
};

struct LoadDone {
    std::int32_t result;
    std::uint32_t tasksAfter;
    std::int64_t microseconds;
    PluginInfo info;
};

}  // namespace kit::wire
