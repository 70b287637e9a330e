// Internal interface of the printer link: the tarvik.ini look-ups and the
// whole-block writer that the commands use. Nothing here is exported.
#ifndef TARVIK_LINK_H
#define TARVIK_LINK_H

#include <cstddef>
#include <istream>

// A tarvik.ini line: 99 characters and the zero.
constexpr int kIniLine = 100;
// "/dev/" plus at most five characters, and the zero.
constexpr int kPortPath = 11;
// At most 20 layout characters, and the zero.
constexpr int kLayout = 21;

// Reads lines from in until one contains needle. Only the first 99
// characters of a line are kept and tested; the rest of a longer line is
// skipped. Returns true with that line in line, false at the end of input.
bool ini_find(std::istream &in, const char *needle, char (&line)[kIniLine]);

// The port entry of a tarvik.ini read from in: the device path, or false
// when no line holds "Porta=".
bool ini_port(std::istream &in, char (&path)[kPortPath]);

// The layout of the bank with the three-character code, read from in, or the
// default "05,15,08,06,06,05,05".
void ini_layout(std::istream &in, const char *code, char (&layout)[kLayout]);

// Prints "erro abertura tarvik.ini" and exits the process with status 1.
[[noreturn]] void ini_missing();

// The port look-up on ./tarvik.ini. Calls ini_missing() when the file cannot
// be opened.
bool port_lookup(char (&path)[kPortPath]);

// The layout look-up on ./tarvik.ini. Returns false when the file cannot be
// opened, so that the caller can restore its port before ini_missing().
bool layout_lookup(const char *code, char (&layout)[kLayout]);

// Writes all n bytes to fd, resuming a write cut short by a signal or by the
// device, and stops at the first error.
void link_send(int fd, const char *data, std::size_t n);

#endif
