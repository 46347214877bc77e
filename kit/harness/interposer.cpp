#include "kit/harness/interposer.h"

#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>

#include <array>
#include <climits>
#include <cstring>

#include "kit/harness/call_scope.h"

namespace kit {

namespace {

PluginSlot slots[kMaxPlugins];
std::atomic<Journal*> journalOfSlots{nullptr};

void noteRetained(int slot, std::size_t record, const void* payload, bool retained) {
    if (retained) journalOfSlots.load()->retained(slot, record, payload);
}

std::int32_t callWrite(int slot, const void* request, void* reply) {
    const auto* write = static_cast<const WriteRequest*>(request);
    TessardHarnessReceived call{};
    call.entry = TESSARD_HARNESS_WRITE;
    call.length = write->length;
    call.payload = write->payload;
    call.source = write->source;
    call.handle = write->handle;
    call.flags = write->flags;
    call.type = write->type;
    const std::size_t record = journalOfSlots.load()->received(slot, call);
    CallScope scope(slot, CallEntry::Write);
    const std::int32_t result = slots[slot].own.Write(request, reply);
    noteRetained(slot, record, write->payload, static_cast<WriteReply*>(reply)->retain != 0);
    return result;
}

std::int32_t callIoctl(int slot, const void* request, void* reply) {
    const auto* ioctl = static_cast<const IoctlRequest*>(request);
    TessardHarnessReceived call{};
    call.entry = TESSARD_HARNESS_IOCTL;
    call.code = ioctl->code;
    call.length = ioctl->payloadRef.length;
    call.payload = ioctl->payloadRef.payload;
    const std::size_t record = journalOfSlots.load()->received(slot, call);
    CallScope scope(slot, CallEntry::Ioctl);
    const std::int32_t result = slots[slot].own.IOCTL(request, reply);
    noteRetained(slot, record, ioctl->payloadRef.payload,
                 static_cast<IoctlReply*>(reply)->retain != 0);
    return result;
}

std::int32_t callRead(int slot, const void* request, void* reply) {
    const auto* read = static_cast<const ReadRequest*>(request);
    TessardHarnessReceived call{};
    call.entry = TESSARD_HARNESS_READ;
    call.length = read->length;
    call.payload = read->payload;
    call.handle = read->handle;
    journalOfSlots.load()->received(slot, call);
    CallScope scope(slot, CallEntry::Read);
    return slots[slot].own.Read(request, reply);
}

std::int32_t callOpen(int slot, const void* request, void* reply) {
    CallScope scope(slot, CallEntry::Open);
    return slots[slot].own.Open(request, reply);
}

std::int32_t callClose(int slot, const void* request, void* reply) {
    std::int32_t result;
    {
        CallScope scope(slot, CallEntry::Close);
        result = slots[slot].own.Close(request, reply);
    }
    slots[slot].closed.store(true);
    return result;
}

std::int32_t callUnload(int slot, const void* request, void* reply) {
    std::int32_t result;
    {
        CallScope scope(slot, CallEntry::Unload);
        result = slots[slot].own.Unload(request, reply);
    }
    slots[slot].unloaded.store(true);
    return result;
}

// The wrappers of slot N: plain functions, as the core calls entry points.
template <int N>
struct Wrappers {
    static std::int32_t open(const void* q, void* r) { return callOpen(N, q, r); }
    static std::int32_t close(const void* q, void* r) { return callClose(N, q, r); }
    static std::int32_t unload(const void* q, void* r) { return callUnload(N, q, r); }
    static std::int32_t read(const void* q, void* r) { return callRead(N, q, r); }
    static std::int32_t write(const void* q, void* r) { return callWrite(N, q, r); }
    static std::int32_t ioctl(const void* q, void* r) { return callIoctl(N, q, r); }
};

struct WrapperSet {
    PluginEntryPoint open, close, unload, read, write, ioctl;
};

template <int... N>
constexpr std::array<WrapperSet, sizeof...(N)> wrapperTable(std::integer_sequence<int, N...>) {
    return {WrapperSet{&Wrappers<N>::open, &Wrappers<N>::close, &Wrappers<N>::unload,
                       &Wrappers<N>::read, &Wrappers<N>::write, &Wrappers<N>::ioctl}...};
}

constexpr auto kWrappers = wrapperTable(std::make_integer_sequence<int, kMaxPlugins>());

// An entry point wrapped when the plugin has it; absent stays absent.
PluginEntryPoint wrapped(PluginEntryPoint own, PluginEntryPoint wrapper) {
    return own != nullptr ? wrapper : nullptr;
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

struct CodeSearch {
    std::string path;
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>>* code;
};

int collectCode(dl_phdr_info* info, std::size_t, void* data) {
    auto* search = static_cast<CodeSearch*>(data);
    if (info->dlpi_name == nullptr || realPath(info->dlpi_name) != search->path) return 0;
    for (int header = 0; header < info->dlpi_phnum; ++header) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[header];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
        const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        search->code->emplace_back(start, start + segment.p_memsz);
    }
    return 1;
}

void fillSlot(PluginSlot& slot, const PluginRecord& plugin, const std::string& directory) {
    slot.id = plugin.info.id;
    slot.fileName = plugin.fileName.utf8_string();
    slot.path = realPath(directory + "/" + slot.fileName);
    slot.own = plugin.entryPoints;
    slot.code.clear();
    slot.closed.store(false);
    slot.unloaded.store(false);
    CodeSearch search{slot.path, &slot.code};
    dl_iterate_phdr(collectCode, &search);
    slot.pin = dlopen(slot.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
}

}  // namespace

Interposer::Interposer(Journal& journal) { journalOfSlots.store(&journal); }

Interposer::~Interposer() {
    const int count = slotCount.exchange(0);
    for (int index = 0; index < count; ++index) {
        PluginSlot& slot = slots[index];
        if (slot.pin != nullptr && !keepMapped) dlclose(slot.pin);
        slot.pin = nullptr;
        slot.code.clear();
    }
}

void Interposer::wrap(PluginTable::Records& records, const std::string& pluginsDirectory) {
    for (PluginRecord& plugin : records) {
        const int index = slotCount.load();
        if (!plugin.library || index == kMaxPlugins) continue;
        fillSlot(slots[index], plugin, pluginsDirectory);
        slotCount.store(index + 1, std::memory_order_release);
        const WrapperSet& wrappers = kWrappers[static_cast<std::size_t>(index)];
        PluginEntryPoints& entries = plugin.entryPoints;
        entries.Open = wrapped(entries.Open, wrappers.open);
        entries.Close = wrapped(entries.Close, wrappers.close);
        entries.Unload = wrapped(entries.Unload, wrappers.unload);
        entries.Read = wrapped(entries.Read, wrappers.read);
        entries.Write = wrapped(entries.Write, wrappers.write);
        entries.IOCTL = wrapped(entries.IOCTL, wrappers.ioctl);
    }
}

PluginSlot& Interposer::slot(int index) { return slots[index]; }

int Interposer::slotOfId(std::uint64_t id) const {
    for (int index = 0; index < size(); ++index) {
        if (slots[index].id == id) return index;
    }
    return -1;
}

int Interposer::slotOfSource(std::uint64_t source) const {
    if (source == 0) return -1;
    const int exact = slotOfId(source);
    if (exact >= 0) return exact;
    for (int index = 0; index < size(); ++index) {
        if ((slots[index].id & 0xFFFFFFFFu) == (source & 0xFFFFFFFFu)) return index;
    }
    return -1;
}

int Interposer::slotOfCode(std::uintptr_t address) const {
    for (int index = 0; index < size(); ++index) {
        for (const auto& [start, end] : slots[index].code) {
            if (address >= start && address < end) return index;
        }
    }
    return -1;
}

}  // namespace kit
