#include "common/fault.h"

namespace bench {

namespace {

struct NamedFault {
    Fault fault;
    const char* name;
};

constexpr NamedFault kFaults[] = {{Fault::None, "none"},
                                  {Fault::Drop, "drop"},
                                  {Fault::Reorder, "reorder"},
                                  {Fault::Corrupt, "corrupt"},
                                  {Fault::NoCopy, "nocopy"}};

}  // namespace

std::string faultName(Fault fault) {
    for (const NamedFault& entry : kFaults) {
        if (entry.fault == fault) return entry.name;
    }
    return "none";
}

std::optional<Fault> faultNamed(const std::string& name) {
    for (const NamedFault& entry : kFaults) {
        if (name == entry.name) return entry.fault;
    }
    return std::nullopt;
}

}  // namespace bench
