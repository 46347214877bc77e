// The stress run's plugin copies and the views of their exported counters
// (stress_plugins.h).

#include "stress_plugins.h"

#include <dlfcn.h>

#include "plugin_folder.h"

PinnedLibrary::PinnedLibrary(const std::string& path)
    // RTLD_NOLOAD: the copy the Core loaded, or nothing.
    : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {}

PinnedLibrary::~PinnedLibrary() {
    if (handle != nullptr) dlclose(handle);
}

void* PinnedLibrary::symbol(const char* name) const {
    return handle != nullptr ? dlsym(handle, name) : nullptr;
}

namespace {

template <typename Function>
void resolve(const PinnedLibrary& library, const char* name, Function*& function) {
    function = reinterpret_cast<Function*>(library.symbol(name));
}

}  // namespace

SinkView::SinkView(const std::string& fileName, const std::string& path)
    : fileName(fileName), library(std::make_shared<PinnedLibrary>(path)) {
    resolve(*library, "hard_sink_kind", kindOf);
    resolve(*library, "hard_sink_last_serial", lastSerialOf);
    resolve(*library, "hard_sink_records", recordsOf);
    resolve(*library, "hard_sink_answers", answersOf);
    resolve(*library, "hard_sink_others", othersOf);
    resolve(*library, "hard_sink_faults", faultsOf);
    resolve(*library, "hard_sink_held", heldOf);
    resolve(*library, "hard_sink_first_fault", firstFaultOf);
}

bool SinkView::resolved() const {
    return kindOf && lastSerialOf && recordsOf && answersOf && othersOf && faultsOf && heldOf &&
           firstFaultOf;
}

int SinkView::kind() const { return kindOf(); }
std::uint64_t SinkView::lastSerial(std::uint32_t producer) const { return lastSerialOf(producer); }
std::uint64_t SinkView::records(std::uint32_t producer) const { return recordsOf(producer); }
std::uint64_t SinkView::answers() const { return answersOf(); }
std::uint64_t SinkView::others() const { return othersOf(); }
std::uint64_t SinkView::faults() const { return faultsOf(); }
std::uint64_t SinkView::held() const { return heldOf(); }

std::string SinkView::firstFault() const {
    char text[256];
    firstFaultOf(text, sizeof text);
    return text;
}

ReaderView::ReaderView(const std::string& fileName, const std::string& path)
    : fileName(fileName), library(std::make_shared<PinnedLibrary>(path)) {
    resolve(*library, "hard_reader_reads", readsOf);
    resolve(*library, "hard_reader_accepted", acceptedOf);
    resolve(*library, "hard_reader_cancelled", cancelledOf);
    resolve(*library, "hard_reader_live_refusals", liveRefusalsOf);
    resolve(*library, "hard_reader_wrong_codes", wrongCodesOf);
}

bool ReaderView::resolved() const {
    return readsOf && acceptedOf && cancelledOf && liveRefusalsOf && wrongCodesOf;
}

const std::vector<std::string>& StressPlugins::sinkFiles() {
    static const std::vector<std::string> files{"hard_sink_all_a.so", "hard_sink_all_b.so",
                                                "hard_sink_plain.so", "hard_sink_seq.so"};
    return files;
}

const std::vector<std::string>& StressPlugins::readerFiles() {
    static const std::vector<std::string> files{"hard_reader_a.so", "hard_reader_b.so"};
    return files;
}

void StressPlugins::install(PluginFolder& folder) {
    for (const std::string& file : sinkFiles()) folder.install("hard_sink", file);
    for (const std::string& file : readerFiles()) folder.install("hard_reader", file);
}

StressPlugins::StressPlugins(const PluginFolder& folder) {
    const std::string directory = folder.pluginsDir() + "/";
    for (const std::string& file : sinkFiles()) sinks.emplace_back(file, directory + file);
    for (const std::string& file : readerFiles()) readers.emplace_back(file, directory + file);
}

bool StressPlugins::resolved() const {
    for (const SinkView& sink : sinks) {
        if (!sink.resolved()) return false;
    }
    for (const ReaderView& reader : readers) {
        if (!reader.resolved()) return false;
    }
    return true;
}

std::uint64_t StressPlugins::heldBySinks() const {
    std::uint64_t total = 0;
    for (const SinkView& sink : sinks) total += sink.held();
    return total;
}

std::uint64_t StressPlugins::answersAccepted() const {
    std::uint64_t total = 0;
    for (const ReaderView& reader : readers) total += reader.accepted();
    return total;
}

std::uint64_t StressPlugins::liveRefusals() const {
    std::uint64_t total = 0;
    for (const ReaderView& reader : readers) total += reader.liveRefusals();
    return total;
}
