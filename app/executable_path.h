// Where the running executable is, found from the first argument the way a
// shell would have found it: a name with a slash is a path (relative ones
// against the current directory), a bare name is looked up in PATH. The
// plugins directory and the server's files are found beside it, so this must
// run before anything changes the current directory.
#pragma once

#include <wx/filename.h>
#include <wx/string.h>

// The absolute, normalised path of the executable started as `argv0`, with
// every symbolic link followed to the executable file itself. When
// the name leads nowhere (an empty or bare name not found in PATH) the
// kernel's record of the executable is used.
wxFileName resolveExecutablePath(const wxString& argv0);

// The first executable file named `name` in the directories of `path` (a
// PATH value), or the empty text. An empty entry means the current directory.
wxString searchPath(const wxString& name, const wxString& path);
