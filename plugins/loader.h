// Plugin discovery and loading, and the Open pass.
//
// Main thread only, during Core start, before the event handler and the
// scheduler run. Load-time IOCTL workers, threads a plugin starts in Load and
// the callbacks they make may already run meanwhile; they see the table only
// through its snapshots.
#pragma once

class Core;

// Loads every "*.so" file of the plugins directory beside the executable, in
// directory order, and enters the plugins it accepts into the table (the one
// with id 0x60000 first). False when the directory cannot be opened.
bool loadPlugins(Core& core);

// Calls every plugin's Open, then writes "plugins.xml" and sends it to the
// plugins. Always true.
bool openPlugins(Core& core);
