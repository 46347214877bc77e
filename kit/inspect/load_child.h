// The child side of the inspector: opens a plugin library the way the
// core's loader does (every symbol bound now, none made global), resolves
// the eight entry points, and calls Load with a callback that records every
// message the plugin sends. It calls nothing else: no Open.
//
// Runs in a forked child of the inspector, on its one thread, while threads
// the plugin starts may call the callback too; each finding goes to the
// parent at once, as one record (probe_wire.h), so that what happened before
// a crash or a hang in Load still arrives.
#pragma once

#include <string>

namespace kit {

// Never returns: the child ends with _exit once Load has returned.
[[noreturn]] void runLoadChild(const std::string& path, int output);

}  // namespace kit
