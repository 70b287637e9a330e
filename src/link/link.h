// Internal interface of the printer link: the tarvik.ini look-ups and the
// whole-block writer that the commands use. Nothing here is exported.
#ifndef TARVIK_LINK_H
#define TARVIK_LINK_H

#include <cstddef>

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

// Reads the lines of a tarvik.ini as every scan sees them: at most the first
// 99 characters of a line are kept, the rest of a longer line is skipped, and
// the line end (LF, with a CR before it, or a CR at the end of the input) is
// not part of the line. The bytes come from a descriptor, read through the
// library-wide look-up buffer (so one reader of a descriptor at a time), or
// from memory, as the tools and tests hand them over.
class IniReader {
  public:
    // Reads fd to its end; fd stays open.
    explicit IniReader(int fd);
    // Reads size bytes at data, which must outlive the reader.
    IniReader(const char *data, std::size_t size);
    IniReader(const IniReader &) = delete;
    IniReader &operator=(const IniReader &) = delete;

    // The next line, zero-terminated. Returns false at the end of input.
    bool next_line(char (&line)[kIniLine]);
    // Reads lines until one contains needle. Returns true with that line in
    // line, false at the end of input.
    bool find(const char *needle, char (&line)[kIniLine]);
    // How many bytes of input the lines read so far took, line ends included.
    std::size_t consumed() const {
        return base_ + pos_;
    }

  private:
    bool fill();
    void skip_line();
    const char *find_lf(std::size_t within) const;
    static const char *last_lf(const char *from, const char *to);

    int fd_;
    const char *buf_;
    std::size_t base_ = 0, pos_ = 0, end_;
};

// The device path of a port entry line: "/dev/" followed by the name that
// runs from position 6 to the first CR, LF, space, tab, ',' or ';'.
void port_path(const char *line, char (&path)[kPortPath]);

// The layout of a bank entry line: at most 20 characters from position 4,
// empty for a line of four characters or fewer.
void layout_of(const char *line, char (&layout)[kLayout]);

// The port entry of a tarvik.ini: the device path, or false when no line
// holds "Porta=".
bool ini_port(IniReader &in, char (&path)[kPortPath]);

// The layout of the bank with the three-character code, or the default
// "05,15,08,06,06,05,05".
void ini_layout(IniReader &in, const char *code, char (&layout)[kLayout]);

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

// Writes all n bytes to fd, resuming a write that the device cuts short.
// Returns false at the first write that fails (errno as it left it; EINTR
// when a signal came before any byte was taken) or takes nothing (EIO).
bool link_send(int fd, const char *data, std::size_t n);

// Ends a command on fd from serial_open. When sent, waits as serial_close
// does for the printer to take every byte; when not, or when a signal cuts
// that wait short, what is still queued is dropped and the line restored at
// once. A nested descriptor drops its output the same way and leaves the
// line to the holder. Returns whether every byte left the port; if not,
// errno tells why: the send's errno, or EINTR for the wait.
bool link_close(int fd, bool sent);

#endif
