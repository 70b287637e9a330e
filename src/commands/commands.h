// Internal interface of the printer commands: the shape every command shares
// (open the link or report why not, write whole blocks, close) and the plain
// functions that assemble command bytes.
#ifndef TARVIK_COMMANDS_H
#define TARVIK_COMMANDS_H

#include <cstddef>

// Opens the link. On failure prints the port-open failure message and
// returns the negative link result; the command then returns 0.
int frame_open();

// Writes the first n bytes of comando as one block.
void frame_send(int fd, std::size_t n);

// The bytes of a line feed command for count n, assembled in out (at least
// 12 bytes): n line feeds, at most 10, and a zero byte that is sent too.
// Returns the count to send, 0 when n is 0.
std::size_t build_linefeeds(char *out, int n);

#endif
