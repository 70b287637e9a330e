// The printer's protocol as this library speaks it: the bytes of each
// command, the check's field codes, the pitch codes, and the reports that
// the commands print. Written once: the library assembles its commands from
// these, the virtual printer decodes by them, and tarvik-print's doctor
// quotes the reports. The tests state the bytes again on their own.
#ifndef TARVIK_PROTOCOL_H
#define TARVIK_PROTOCOL_H

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace protocol {

constexpr char kEsc = 0x1b;

// Line feeds: at most this many, then a zero byte.
constexpr int kMaxLineFeeds = 10;

// A front line: ESC kTextLine pitch control text LF.
constexpr char kTextLine = 'd';
// The pitch codes, in the order of the pitch tables; any other code is sent
// as the first.
constexpr char kPitchCodes[] = "0123456789*+";
// The control byte: double width for the flag kDoubleWidth, else normal.
constexpr char kDoubleWidth = 'S';
constexpr char kControlDouble = 0x0E;
constexpr char kControlNormal = 0x14;
// An authentication line: ESC selector, then a front line. Any selector
// that is not one of these is sent as the last.
constexpr char kSelectors[] = "YVX";
constexpr char kOtherSelector = kSelectors[sizeof kSelectors - 2];
// A back line goes in two writes: ESC kTextLine pitch kBackHead with its
// zero, then control kBackIndent text LF.
constexpr char kBackHead[] = "\r";
constexpr char kBackIndent[] = "  ";

// The two pitch tables.
enum class Side { front, back };

// Back-side mode: each sequence goes with its zero, and switching it on is
// followed by kBackSideFeed with its zero.
constexpr char kBackSideOn[] = "\x1b.5915}";
constexpr char kBackSideOff[] = "\x1b.5916}";
constexpr char kBackSideFeed[] = "\n";

// A check field: kFieldHead code text kFieldEnd. A check is kFields of them,
// the codes from kFirstField on.
constexpr char kFieldHead[] = "\x1b.590";
constexpr char kFieldEnd = '}';
constexpr char kFirstField = '1';
constexpr int kFields = 9;
// The longest field text that a field command carries: 100 bytes of comando
// less the seven command bytes and the zero.
constexpr std::size_t kFieldText = 92;
// Field 9: this, then the layout without its commas.
constexpr char kLayoutHead[] = "000S";

// The reports on standard output, without their line ends.
// A port that did not open: serial_open's result and errno, then CR LF.
constexpr std::size_t kPortReportSize = 192;
inline void port_report(char (&out)[kPortReportSize], int code, int err) {
    std::snprintf(out, sizeof out, "erro abertura porta serial, codigo %i, errno %i %s", code, err,
                  std::strerror(err));
}
constexpr char kPortReportEnd[] = "\r\n";
// serial_open's -2, then LF.
constexpr char kNotTerminalReport[] = "error reading terminal settings.";
// tarvik.ini is missing: the process then exits with status 1.
constexpr char kIniMissingReport[] = "erro abertura tarvik.ini";
// A check's date that is refused.
constexpr char kInvalidDateReport[] = "data invalida";

} // namespace protocol

#endif
