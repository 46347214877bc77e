// Whether a path names a regular file, after following links.
//
// The server opens a few files by name that anybody with write access to its
// directory could replace: a FIFO makes open() wait for a peer for ever, and
// TinyXML aborts when asked to parse a directory. Such paths are treated as
// absent instead.
#pragma once

bool isRegularFile(const char* path);
