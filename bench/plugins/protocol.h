// How the benchmark's plugins meet inside the server: their identities, the
// type of their messages and the subscription that selects them.
//
// Producers send plain records (not sequenced) with MSG_SELECT_1 and
// kBenchType; every consumer's mask entry 1 is the type's delivery key, so
// each of them receives every message through Write, and nothing else the
// core sends (its notices have other keys).
#pragma once

#include <cstdint>

#include "tessard_plugin.h"

namespace bench {

constexpr std::uint64_t kProducerPluginId = 0xBE0000;
constexpr std::uint64_t kConsumerPluginIdBase = 0xBE0100;

// Kind bits only, no class bits: the delivery key equals the type.
constexpr std::uint64_t kBenchType = 0x00B3C4;
constexpr std::uint64_t kBenchFlags = MSG_SELECT_1;
constexpr int kBenchMaskEntry = 1;
constexpr std::uint64_t kBenchMask = kBenchType;

// File names of the installed plugins: one producer library; consumer i is
// a copy named with its index, because a library loaded twice under one
// inode would be the same plugin.
constexpr const char* kProducerLibrary = "bench_producer.so";
constexpr const char* kConsumerLibraryPrefix = "bench_consumer_";

}  // namespace bench
