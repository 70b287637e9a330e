// Internal interface of the printer link: the tarvik.ini look-ups and the
// whole-block writer that the commands use. Nothing here is exported.
#ifndef TARVIK_LINK_H
#define TARVIK_LINK_H

#include <cstddef>
#include <istream>

// A tarvik.ini line: 99 characters and the zero.
constexpr int kIniLine = 100;
// "/dev/" plus a name taken from a line, and the zero.
constexpr int kPortPath = 5 + kIniLine;
// At most 20 layout characters, and the zero.
constexpr int kLayout = 21;
// The buffer through which the look-ups read ./tarvik.ini.
constexpr std::size_t kIniBuffer = 64 * 1024;

// The key of the port entry.
constexpr const char *kPortKey = "Porta=";

// Reads the next line of in as every scan sees it: at most its first 99
// characters are kept, the rest of a longer line is skipped, and the line
// end (LF, with a CR before it, or a CR at the end of the input) is not
// part of it. Returns false at the end of input.
bool ini_next_line(std::istream &in, char (&line)[kIniLine]);

// Reads lines from in until one contains needle. Returns true with that
// line in line, false at the end of input.
bool ini_find(std::istream &in, const char *needle, char (&line)[kIniLine]);

// The device path of a port entry line: "/dev/" followed by the name that
// runs from position 6 to the first CR, LF, space, tab, ',' or ';'.
void port_path(const char *line, char (&path)[kPortPath]);

// The layout of a bank entry line: at most 20 characters from position 4,
// empty for a line of four characters or fewer.
void layout_of(const char *line, char (&layout)[kLayout]);

// The port entry of a tarvik.ini read from in: the device path, or false
// when no line holds "Porta=".
bool ini_port(std::istream &in, char (&path)[kPortPath]);

// The layout of the bank with the three-character code, read from in, or the
// default "05,15,08,06,06,05,05".
void ini_layout(std::istream &in, const char *code, char (&layout)[kLayout]);

// Prints "erro abertura tarvik.ini" and exits the process with status 1,
// after putting back a port that this process holds.
[[noreturn]] void ini_missing();

// Restores and closes the port that this process holds through serial_open,
// if any.
void release_held_port();

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
