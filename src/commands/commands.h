// Internal interface of the printer commands: the frame every command shares
// (open the link or report why not, refuse the arguments or send whole
// blocks, close) and the plain functions that assemble command bytes.
#ifndef TARVIK_COMMANDS_H
#define TARVIK_COMMANDS_H

#include "link/link.h"
#include "protocol.h"
#include "tarvik.h"

#include <cerrno>
#include <cstddef>

// Prints the port-open failure report for the serial_open result code and
// errno, which it leaves as it found it.
void report_port_failure(int code);

// The whole frame of a command. Opens the link, or reports why not and gives
// 0. Then refuse may turn the arguments down before anything is sent: it
// gives 0 to go on, or the errno of its refusal. A refused command closes the
// link as serial_close does, then report says why, with errno set, since
// reports wait until the port is back as it was; it gives 0 with that errno.
// Else send writes the command to the descriptor, stopping at the first block
// that does not go, and the close tells: 1 when every block went and the
// printer then took every byte, else 0 with what is queued dropped and errno
// telling why.
template <class Refuse, class Report, class Send>
int frame(Refuse refuse, Report report, Send send) {
    int fd = serial_open();
    if (fd < 0) {
        report_port_failure(fd);
        return 0;
    }
    bool drained;
    if (int err = refuse()) {
        link_close(fd, false, drained);
        errno = err;
        report();
        errno = err;
        return 0;
    }
    link_close(fd, !send(fd), drained);
    return drained ? 1 : 0;
}

// The frame of a command that has no argument to refuse.
template <class Send> int frame(Send send) {
    return frame([] { return 0; }, [] {}, send);
}

// The bytes of a line feed command for count n, assembled in out (at least
// 12 bytes): n line feeds, at most 10, and a zero byte that is sent too.
// Returns the count to send, 0 when n is 0.
std::size_t build_linefeeds(char *out, int n);

// Looks pitch up in the table of side: a code outside "0123456789*+" becomes
// '0'. Gives the line width in characters and the width control byte, 0x0E
// for double width (flag 'S' only) or 0x14.
void pitch_lookup(protocol::Side side, char &pitch, char flag, int &width, char &control);

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
