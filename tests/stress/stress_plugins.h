// The stress run's plugins as the test sees them: which copies of the test
// plugins go into the plugins directory, and a view of each copy's
// exported counters.
//
// A view keeps its library mapped with a reference of its own, taken once
// the Core has loaded the copy, so that the counters can still be read
// after the Core has unloaded it. The counters are read under the plugins'
// own locks, so any thread may read them at any time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class PluginFolder;

// One mapped plugin library, resolved by the path the Core loaded it from.
class PinnedLibrary {
public:
    explicit PinnedLibrary(const std::string& path);
    ~PinnedLibrary();

    PinnedLibrary(const PinnedLibrary&) = delete;
    PinnedLibrary& operator=(const PinnedLibrary&) = delete;

    bool loaded() const { return handle != nullptr; }
    void* symbol(const char* name) const;

private:
    void* handle;
};

class SinkView {
public:
    SinkView(const std::string& fileName, const std::string& path);

    const std::string& name() const { return fileName; }
    bool resolved() const;
    int kind() const;
    std::uint64_t lastSerial(std::uint32_t producer) const;
    std::uint64_t records(std::uint32_t producer) const;
    std::uint64_t answers() const;
    std::uint64_t others() const;
    std::uint64_t faults() const;
    std::uint64_t held() const;
    std::string firstFault() const;

private:
    std::string fileName;
    std::shared_ptr<PinnedLibrary> library;
    int (*kindOf)() = nullptr;
    std::uint64_t (*lastSerialOf)(std::uint32_t) = nullptr;
    std::uint64_t (*recordsOf)(std::uint32_t) = nullptr;
    std::uint64_t (*answersOf)() = nullptr;
    std::uint64_t (*othersOf)() = nullptr;
    std::uint64_t (*faultsOf)() = nullptr;
    std::uint64_t (*heldOf)() = nullptr;
    void (*firstFaultOf)(char*, std::size_t) = nullptr;
};

class ReaderView {
public:
    ReaderView(const std::string& fileName, const std::string& path);

    const std::string& name() const { return fileName; }
    bool resolved() const;
    std::uint64_t reads() const { return readsOf(); }
    std::uint64_t accepted() const { return acceptedOf(); }
    std::uint64_t cancelled() const { return cancelledOf(); }
    std::uint64_t liveRefusals() const { return liveRefusalsOf(); }
    std::uint64_t wrongCodes() const { return wrongCodesOf(); }

private:
    std::string fileName;
    std::shared_ptr<PinnedLibrary> library;
    std::uint64_t (*readsOf)() = nullptr;
    std::uint64_t (*acceptedOf)() = nullptr;
    std::uint64_t (*cancelledOf)() = nullptr;
    std::uint64_t (*liveRefusalsOf)() = nullptr;
    std::uint64_t (*wrongCodesOf)() = nullptr;
};

// The copies the run loads: sinks of every kind, two of them taking
// everything, and two readers.
struct StressPlugins {
    static const std::vector<std::string>& sinkFiles();
    static const std::vector<std::string>& readerFiles();
    static void install(PluginFolder& folder);

    // Views of the copies the Core has loaded from `folder`.
    explicit StressPlugins(const PluginFolder& folder);
    bool resolved() const;
    // The first sink that takes everything: the producers pace themselves
    // by what it has received.
    const SinkView& pacer() const { return sinks.front(); }
    // Payloads the sinks hold and have not given back yet.
    std::uint64_t heldBySinks() const;
    std::uint64_t answersAccepted() const;
    std::uint64_t liveRefusals() const;

    std::vector<SinkView> sinks;
    std::vector<ReaderView> readers;
};
