// Interposer: the harness's wrappers around every plugin's entry points,
// which record what the core hands each plugin and name the call for the
// thread that makes it.
//
// The harness puts them into the plugin table between the loader's Load
// pass and the Open pass (the Load-time IOCTL, started by the loader, is the
// one call they do not see). Each plugin gets a slot, and each slot a set of
// plain functions that know their slot, since the core calls entry points
// without any context. A wrapper records the request, calls the plugin's
// own entry point inside a CallScope, and records whether the reply kept
// the payload; Close and Unload mark the slot when they return.
//
// The slots are the process's one set: the main thread fills each before it
// counts it (release), and callers that find a slot by id or code address
// read only the counted ones (acquire), so that a plugin thread started in
// Load may call back while the slots are being filled. Read-only once
// filled, except for the atomic marks.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kit/harness/journal.h"
#include "plugins/plugin_table.h"

namespace kit {

struct PluginSlot {
    std::uint64_t id = 0;
    std::string fileName;
    std::string path;
    PluginEntryPoints own;  // the plugin's own entry points
    // The library's executable segments, to tell its code by address.
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> code;
    // An extra reference to the library: its code stays mapped after the
    // core closes it, so that a plugin thread still running it is seen,
    // not suffered.
    void* pin = nullptr;
    std::atomic<bool> closed{false};
    std::atomic<bool> unloaded{false};
};

class Interposer {
public:
    explicit Interposer(Journal& journal);
    // Forgets the slots; drops the extra references unless told to keep them.
    ~Interposer();

    Interposer(const Interposer&) = delete;
    Interposer& operator=(const Interposer&) = delete;

    // Wraps every plugin of `records`, loaded from `pluginsDirectory`.
    void wrap(PluginTable::Records& records, const std::string& pluginsDirectory);

    int size() const { return slotCount.load(std::memory_order_acquire); }
    PluginSlot& slot(int index);
    // The slot of the plugin whose id is exactly `id`; -1 when none.
    int slotOfId(std::uint64_t id) const;
    // The slot of the plugin whose id `source` is, or whose id's lower 32
    // bits are the source's; -1 when none.
    int slotOfSource(std::uint64_t source) const;
    // The slot whose library holds the code at `address`; -1 when none.
    int slotOfCode(std::uintptr_t address) const;
    // Keeps every library mapped for the life of the process.
    void keepLibraries() { keepMapped = true; }

private:
    std::atomic<int> slotCount{0};
    bool keepMapped = false;
};

}  // namespace kit
