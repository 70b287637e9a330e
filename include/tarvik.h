// tarvik: drives a document printer on a serial line.
//
// Every printer command reads "tarvik.ini" from the current directory to find
// the printer's device, opens it at 9600 baud 8N1 with RTS/CTS flow control,
// sends one escape sequence, restores the device's previous settings and
// closes it. A command returns 1 when every byte was handed to the line and
// has left the port; that is not proof that the printer printed it: the
// library reads nothing back from the printer. It returns 0 when the port
// did not open, when a check's date or amount is refused or its layout could
// not be read, and when its bytes did not all reach the line: a write failed
// or took nothing, a signal interrupted a write, or the wait for the printer
// failed (a signal cut it short, or the line hung up under it). Then the rest
// is not sent (a check sends no field after the one that failed), what is
// queued is dropped, and the line is restored and the port closed. A failed
// write or a refused amount prints no report: errno tells why a command
// returned 0:
//   the port did not open          as serial_open left it, with the report
//   the date is invalid            EINVAL, with "data invalida"
//   the amount is refused          ERANGE (see tarvcheque)
//   a write failed                 the write's own errno (EIO: the line's far
//                                  end has gone, as an unplugged adapter)
//   a write took nothing           EIO
//   a signal during a write or     EINTR
//   the wait for the printer
//   the wait for the printer       its own errno (EIO: the line hung up, or
//   failed otherwise               this process may not change it)
//   another device while this      EBUSY, with the report (see serial_open)
//   process holds the port
//   the layout could not be read   EMFILE, ENFILE or ENOMEM, with the report
//   for want of descriptors or
//   memory
//
// Each command waits, without a limit of its own:
//   - while another program (or another process of this one) holds the port:
//     each command locks the device (flock) from open to close, so that two
//     programs never mix their commands on the printer; other tools that
//     flock the device are kept out the same way;
//   - while the printer holds CTS off (switched off, out of paper), until it
//     has taken every byte.
// A signal handled without SA_RESTART ends either wait: the command then
// gives 0 with errno EINTR (for the lock, with the port-open report). A write
// that the signal catches after it has taken some bytes returns their count
// instead, and the library writes the rest, which may wait again; so one
// alarm may not end a command. Bound it with a repeating timer, kept running
// until the call returns:
//   struct sigaction sa {};
//   sa.sa_handler = on_timer; // an empty handler, without SA_RESTART
//   sigaction(SIGALRM, &sa, nullptr);
//   itimerval every{{1, 0}, {5, 0}}; // after 5 s, then every second
//   setitimer(ITIMER_REAL, &every, nullptr);
//   int printed = tarvtxt('0', 'N', text);
//   itimerval off{};
//   setitimer(ITIMER_REAL, &off, nullptr);
//
// Device names: the first line of tarvik.ini that contains "Porta=" names the
// device. The name runs from the line's seventh character to the first CR,
// LF, space, tab, ',' or ';': "Porta=ttyS0" opens /dev/ttyS0, "Porta=ttyUSB0"
// /dev/ttyUSB0, "Porta=pts/3" /dev/pts/3. Write the key at the start of the
// line: anything in front of it shifts the name.
//
// Reports go to standard output as fixed texts, always after the port has
// been restored and closed:
//   "erro abertura porta serial, codigo C, errno E TEXT\r\n"
//       the port did not open and the command sent nothing; C is the
//       serial_open result, E the errno and TEXT its strerror text (C is -1
//       too when a check's layout could not be read);
//   "error reading terminal settings.\n"
//       the configured device is not a terminal (serial_open gives -2); a
//       command follows it with the port report above, code -2;
//   "erro abertura tarvik.ini"
//       the configuration file is missing or unreadable: the process exits
//       with status 1;
//   "data invalida"
//       a check's date could not be read or is no day of the calendar
//       (sometimes after a count and a line feed).
//
// Reentrancy: none. The command buffer, the text buffer and the saved
// terminal settings are shared by the whole library. Make one call at a time
// from one thread, and keep at most one port open at a time. A command called
// while the application holds the port through serial_open uses the port
// without waiting for itself, and leaves the line to the outer serial_close;
// if it gives 0 for its bytes, what it queued is dropped all the same, so
// that the outer serial_close does not wait for it.
//
// A null text pointer is read as an empty text wherever a text is taken.
#ifndef TARVIK_H
#define TARVIK_H

// The library is built with hidden visibility; this marks the interface.
#if defined(__GNUC__)
#define TARVIK_API __attribute__((visibility("default")))
#else
#define TARVIK_API
#endif

// ---- Serial link ---------------------------------------------------------

// Opens the device named by the "Porta=" line of tarvik.ini, waits for its
// lock, saves its settings and applies 9600 8N1, RTS/CTS, raw. The descriptor
// is close-on-exec and never 0, 1 or 2, so that a daemon started with its
// standard descriptors closed never writes its reports onto the printer.
// Opened again while this process holds the same device, it neither waits
// nor saves the settings again; while it holds the port, another device
// (tarvik.ini changed meanwhile) is refused and not opened, so that the held
// port's saved settings stay its own.
// Returns the descriptor, or:
//   -1  the device did not open, tarvik.ini names no port (errno ENOENT), a
//       signal ended the wait for the lock (EINTR), tarvik.ini could not be
//       opened for want of descriptors or memory (EMFILE, ENFILE, ENOMEM), or
//       it names another device than the one this process holds (EBUSY);
//   -2  its settings could not be read; prints
//       "error reading terminal settings.\n";
//   -3  the new settings could not be applied.
// On -1, -2 and -3 no descriptor is left open.
// Exits the process with status 1 if tarvik.ini is missing or unreadable.
TARVIK_API int serial_open();

// Restores the settings saved by the last serial_open (waiting until all
// output has left the port, discarding unread input), releases the lock and
// closes fd. If the wait fails (a signal ends it, or the line hangs up), the
// output not yet taken is dropped and the settings are restored at once. For
// a nested open (see serial_open) it only waits for the output to leave,
// dropping it if the wait fails, and closes.
// Returns the close result, 0 or -1; output that was dropped does not change
// it.
TARVIK_API int serial_close(int fd);

// Writes the text without its terminating zero. Returns the write result:
// the number of bytes written, or -1.
TARVIK_API int serial_puts(int fd, char *text);

// Writes exactly n bytes of data. Returns the write result; -1 with errno
// EINVAL, without writing, when n is negative, or when data is null and n is
// positive.
TARVIK_API int serial_putn(int fd, char *data, int n);

// Reads up to size bytes into buf without waiting, and stores a zero after
// them, so buf must hold size + 1 bytes. Returns the count read; 0 when
// nothing was waiting or the read failed, in which case buf is untouched.
// A null buf or a negative size reads nothing and returns 0.
TARVIK_API int serial_gets(int fd, char *buf, int size);

// ---- Paper motion and back-side mode -------------------------------------

// Feeds n lines (at most 10): sends n line feeds, 10 for a count above 10,
// and a zero byte. A count of 0 sends nothing; a negative count sends the
// zero byte alone.
// Returns 1, or 0 when the port did not open or the bytes did not all reach
// the line (see the top of this file).
TARVIK_API int tarvlf(int n);

// Switches the printer to the back of the document: sends
// 1B 2E 35 39 31 35 7D 00, then 0A 00. Returns 1, or 0.
TARVIK_API int tarvabreverso();

// Leaves back-side mode: sends 1B 2E 35 39 31 36 7D 00. Returns 1, or 0.
TARVIK_API int tarvfechaverso();

// ---- Text lines ----------------------------------------------------------

// Prints a line on the front of the document. pitch is one of
// "0123456789*+" (anything else is taken as '0'); flag 'S' asks for double
// width. The text is cut to the line width of the pitch (see setme). An ESC
// in it goes unchanged, for printer sequences put there on purpose (as in
// tarvaut and tarvversotxt; a check's fields turn it into a space).
// Sends 1B 'd' pitch control text 0A. Returns 1, or 0.
TARVIK_API int tarvtxt(char pitch, char flag, char *text);

// Prints an authentication line: as tarvtxt, preceded by 1B and the
// selector, which is 'Y', 'V' or, for any other value, 'X'.
// Sends 1B selector 1B 'd' pitch control text 0A. Returns 1, or 0.
TARVIK_API int tarvaut(char pitch, char flag, char selector, char *text);

// Prints a line on the back of the document, cut to one less than the back
// line width (see setmev). Sends 1B 'd' pitch 0D 00, then
// control ' ' ' ' text 0A. Returns 1, or 0.
TARVIK_API int tarvversotxt(char pitch, char flag, char *text);

// ---- Check ---------------------------------------------------------------

// Prints a check from its fields, in this order: two free texts (at most 92
// characters each are sent), the date (D/M/Y with one- or two-digit day and
// month and a two- or four-digit year; it must name a real day), the amount
// in centavos (its digits are taken, so "1.234,56" and "123456" both become
// 000000123456, R$ 1.234,56), two texts cut to 60 characters and the bank
// code (its layout is looked up in tarvik.ini; a '-' and what follows it, a
// check digit as in "341-7", are dropped, then the first five characters are
// fitted to three: "0341" and "12345" give 341 and 345).
// In every field text each '}' and ESC (1B) is sent as a space, so that no
// text can end its field and have the rest read as commands.
// Sends nine field commands 1B '.' '5' '9' '0' code text '}', one write
// each, for the codes '1' to '9'. Returns 1; 0 when the port did not open,
// when the date is invalid (then nothing is sent and "data invalida" is
// printed, after a count and a line feed for most forms; errno EINVAL), when
// the amount holds a '-' or more than twelve digits after its leading zeros
// (nothing is sent and nothing printed; errno ERANGE), when the bank's layout
// could not be read for want of descriptors or memory (nothing is sent; the
// port-open report with code -1; errno EMFILE, ENFILE or ENOMEM), or when
// the fields did not all reach the line (see the top of this file).
// The nine fields go out while the port is locked, so no other program's
// command comes between them.
// Exits the process with status 1 if tarvik.ini is missing.
TARVIK_API int tarvcheque(char *text1, char *text2, char *date, char *amount, char *text5,
                          char *text6, char *bank);

// Sends one check field command, 1B '.' '5' '9' '0' code text '}', on a
// port that is already open. At most 92 characters of the text are sent,
// each '}' and ESC of it as a space; the code goes as it is given. Whether
// the write went is not reported; errno is the write's when it failed.
TARVIK_API void chequecom(int fd, char code, char *text);

// ---- Helpers -------------------------------------------------------------

// Front pitch table. Replaces an unknown pitch with '0', and sets width to
// the line width in characters and control to 0x0E for flag 'S' (double
// width) or 0x14 otherwise.
TARVIK_API void setme(char &pitch, char &flag, int &width, char &control);

// Back pitch table: as setme, with the back line widths.
TARVIK_API void setmev(char &pitch, char &flag, int &width, char &control);

// Fits text in place to exactly width characters: right-justified and cut
// from the left when right is non-zero, else left-justified and cut from the
// right, filling with fill. text must hold width + 1 bytes. A negative width
// leaves the text unchanged.
TARVIK_API void completastr(char *text, char fill, int width, int right);

// Returns the index of the first c in text, or the length of text.
TARVIK_API int posicao(char c, char *text);

// ---- Buffers -------------------------------------------------------------

// Where each command is assembled.
extern TARVIK_API char comando[100];

// The cut text of the last text line command.
extern TARVIK_API char bufi[100];

#endif
