// Internal interface of the printer commands: the shape every command shares
// (open the link or report why not, write whole blocks, close) and the plain
// functions that assemble command bytes.
#ifndef TARVIK_COMMANDS_H
#define TARVIK_COMMANDS_H

#include "tarvik.h"

#include <cstddef>

// Prints the port-open failure message for the link result code and errno.
void report_port_failure(int code);

// Opens the link. On failure prints the port-open failure message and
// returns the negative link result; the command then returns 0.
int frame_open();

// Writes the first n bytes of comando as one block. Returns false when they
// did not all go, with errno telling why.
bool frame_send(int fd, std::size_t n);

// Ends a command: closes the link and gives 1 when every block was sent
// (sent) and the printer then took every byte; else drops what is queued,
// restores the line at once and gives 0, errno telling why.
int frame_close(int fd, bool sent);

// The whole frame of a command that has no argument to refuse: opens the
// link (or reports why not and gives 0), lets send write the command to the
// descriptor, stopping at the first block that does not go, and ends with
// frame_close.
template <class Send> int frame(Send send) {
    int fd = frame_open();
    if (fd < 0) return 0;
    return frame_close(fd, send(fd));
}

// The bytes of a line feed command for count n, assembled in out (at least
// 12 bytes): n line feeds, at most 10, and a zero byte that is sent too.
// Returns the count to send, 0 when n is 0.
std::size_t build_linefeeds(char *out, int n);

// The two pitch tables.
enum class Side { front, back };

// Looks pitch up in the table of side: a code outside "0123456789*+" becomes
// '0'. Gives the line width in characters and the width control byte, 0x0E
// for double width (flag 'S' only) or 0x14.
void pitch_lookup(Side side, char &pitch, char flag, int &width, char &control);

// The text line commands, assembled from out on with a zero stored after the
// last byte. The text is cut to the pitch's line width into cut (at least 91
// bytes). Each returns the count of bytes to send in one write.
//
// A front line: ESC 'd' pitch control text LF.
std::size_t assemble_front(char *out, char *cut, char pitch, char flag, const char *text);
// An authentication line: ESC selector, then the front line. The selector
// is 'Y', 'V' or, for any other value, 'X'.
std::size_t assemble_auth(char *out, char *cut, char pitch, char flag, char selector,
                          const char *text);
// A back line goes in two writes, each assembled from out on. The head:
// ESC 'd' pitch CR NUL, the zero sent too.
std::size_t assemble_back_head(char *out, char pitch);
// The line: control ' ' ' ' text LF, the text cut to one less than the back
// line width.
std::size_t assemble_back_line(char *out, char *cut, char pitch, char flag, const char *text);

#endif
