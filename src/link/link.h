// Internal interface of the printer link: the look-ups on ./tarvik.ini, the
// exit when it is missing, and the whole-block writer that the commands use.
// Nothing here is exported. The rules of the file itself are in ini.h.
#ifndef TARVIK_LINK_H
#define TARVIK_LINK_H

#include "link/ini.h"

#include <cstddef>

// Prints "erro abertura tarvik.ini" and exits the process with status 1,
// after putting back a port that this process holds.
[[noreturn]] void ini_missing();

// How a look-up on ./tarvik.ini went.
enum class Lookup {
    found,     // the entry, or for a layout the default
    none,      // no port entry
    transient, // the file could not be opened for want of descriptors or
               // memory; errno tells which
    missing,   // the file cannot be opened for good (absent, unreadable)
};

// The port look-up on ./tarvik.ini.
Lookup port_lookup(char (&path)[kPortPath]);

// The layout look-up on ./tarvik.ini.
Lookup layout_lookup(const char *code, char (&layout)[kLayout]);

// Writes all n bytes to fd, resuming a write cut short by a signal or by the
// device, and stops at the first error or at a write that takes nothing.
void link_send(int fd, const char *data, std::size_t n);

#endif
