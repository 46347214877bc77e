// The inspector's output: a verdict as text for a person, or as one JSON
// document for a script (--json). Main thread only.
#pragma once

#include <ostream>

#include "kit/inspect/verdict.h"

namespace kit {

void printText(const Verdict& verdict, std::ostream& out);
void printJson(const Verdict& verdict, std::ostream& out);

}  // namespace kit
