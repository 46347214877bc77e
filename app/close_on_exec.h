// Keeping the server's own descriptors out of the processes plugins start.
//
// The server holds a few descriptors for its whole life: the single-instance
// lock file, the daemon's end of the pipe to its launcher and both ends of
// the signal queue's pipe. A plugin that starts a program would hand them
// all to it; a child that outlives a crashed server then holds the
// launcher's pipe open (the launcher waits its full 60 seconds) and keeps
// the lock file's descriptor. Main thread, once, before the Core starts.
#pragma once

// Marks every open descriptor above standard error close-on-exec.
void markDescriptorsCloseOnExec();
