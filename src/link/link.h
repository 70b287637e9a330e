// Internal interface of the printer link: the look-ups on ./tarvik.ini, the
// exit when it is missing, and the whole-block writer and the close that the
// commands use.
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

// Writes all n bytes to fd, resuming a write that the device cuts short.
// Returns false at the first write that fails (errno as it left it; EINTR
// when a signal came before any byte was taken) or takes nothing (EIO).
bool link_send(int fd, const char *data, std::size_t n);

// Restores the line and closes fd from serial_open, giving close's result;
// serial_close is this without drop. Unless drop is set, it first waits for
// the printer to take every byte; with drop (a command whose bytes did not
// all go), or when that wait fails (a signal cuts it short, or the line has
// hung up), what is still queued is dropped and the line restored at once. A
// nested descriptor drops its output the same way and leaves the line to the
// holder. drained tells whether every byte left the port; if not, errno tells
// why: the wait's errno, or, with drop, the caller's.
int link_close(int fd, bool drop, bool &drained);

#endif
