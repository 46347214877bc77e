// Whether a 64-bit ELF file holds every byte its program headers promise.
//
// The dynamic loader maps a shared object's segments as its program headers
// describe them and then reads them; it does not compare them with the
// file's size. A plugin file cut short (a copy that was interrupted, a full
// disk) maps without complaint, and the first read past the file's end kills
// the whole process with SIGBUS. The loader asks this first, on the main
// thread, before it hands a file to the dynamic loader.
#pragma once

// False when the file at `path` is a 64-bit ELF file whose program header
// table, or a segment that is loaded or holds the dynamic section, extends
// beyond the file's end. Anything else, a file that is not a 64-bit ELF
// file or cannot be opened, is left to the dynamic loader, which refuses it
// with a message of its own.
bool elfFitsInFile(const char* path);
