// tarvik-print's look at tarvik.ini and the device, which status and the
// doctor both read: never waiting, never changing them.
#ifndef TARVIK_PRINT_PROBE_H
#define TARVIK_PRINT_PROBE_H

#include <cerrno>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

namespace tarvik_print::probe {

// tarvik.ini as the look found it.
struct Ini {
    bool opened = false;
    std::string bytes; // the whole file, when opened
    std::string why;   // the reason it did not open
    int err = 0;       // and its errno
    std::string kind;  // not read, being neither a file nor a directory: "a named pipe" ...
};

// The modem lines as TIOCMGET read them: bits (TIOCM_CTS ...) when err is 0,
// else the errno of the read; ENOTTY when the device has none, as a
// pseudo-terminal or a port carried over the network.
struct Modem {
    int err = ENOTTY;
    int bits = 0;
};

// The process holding the device's lock, as /proc/locks shows it.
struct Holder {
    pid_t pid = 0;    // 0: none shown
    std::string name; // from /proc, "name unknown" where it is not there
};

// What opening the device found, without changing it.
struct Device {
    enum class State {
        missing,       // no such path
        not_char,      // exists, but is not a character device
        no_permission, // cannot be opened for reading and writing
        open_failed,   // any other failure to open, or to look the path up
        not_terminal,  // opens, but has no terminal settings
        opened,        // opens, settings read
    };
    State state = State::missing;
    int err = 0;      // the errno of the failing step
    std::string kind; // for not_char: "a directory", "a regular file" ...
    // The device's group, owner and mode (its type and permission bits),
    // for the permission hint; mode is 0 when the path could not be looked
    // up.
    std::string group;
    std::string owner;
    mode_t mode = 0;
    bool locked = false; // held by another program right now
    Holder holder;       // which, when it could be found
    termios settings{};  // when opened
    Modem modem;         // when opened
};

// ./tarvik.ini as the doctor and status read it: a regular file only, so
// that a named pipe or a device cannot make them wait or read for ever.
Ini read_ini();

// The device path that the port entry of ini names, by the library's own
// rules; nothing when the file did not open or names no port.
std::optional<std::string> device_path(const Ini &ini);

// Opens path read and write, without a controlling terminal and without
// waiting, reads its settings and modem lines, and finds another program's
// lock on it.
Device device(const std::string &path);

// The modem lines of an open terminal.
Modem modem_lines(int fd);

// The holder of a lock on the file that st describes, as /proc/locks shows
// it (pid 0: none); nothing when /proc/locks cannot be read.
std::optional<Holder> holder_of(const struct stat &st);

// The process holding a whole-file lock on the inode, from the text of
// /proc/locks; 0 when none is listed.
pid_t lock_holder(const std::string &proc_locks, dev_t dev, ino_t ino);

} // namespace tarvik_print::probe

#endif
