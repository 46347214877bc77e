// Deliberate faults, so that the checks can be shown to catch what they are
// there to catch. A run with a fault must come out as a failure with counts.
//
// Drop, Reorder and Corrupt are made by the producers (the shared code every
// contender runs): one message in the middle of each producer's run is not
// handed to the hub (but counted as sent), is swapped with its successor, or
// gets a wrong tail word. NoCopy is made by a hub that can pass the
// producer's buffer by reference instead of copying it.
#pragma once

#include <optional>
#include <string>

namespace bench {

enum class Fault { None, Drop, Reorder, Corrupt, NoCopy };

std::string faultName(Fault fault);
std::optional<Fault> faultNamed(const std::string& name);

}  // namespace bench
