// Warnings about plugin deployments that let someone else run code as the
// server.
//
// The server runs every "*.so" file in its plugins directory, usually as
// root. A directory or a plugin file that group or others may write, or that
// belongs to a user other than root and the server's own, lets that user run
// code as the server. Loading goes on as before; the operator is told once
// per path, at every start, through the active log target.
#pragma once

#include <wx/string.h>

// Warns when the plugins directory at `path` is unsafe. Nothing for a
// directory that does not exist.
void checkPluginsDirectory(const wxString& path);

// Warns when the plugin file at `path` (after links) is unsafe.
void checkPluginFile(const wxString& path);
