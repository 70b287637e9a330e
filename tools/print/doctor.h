// The doctor: what a setup will do, in plain words. Everything here is a
// function over data (the bytes of tarvik.ini, what a probe of the device
// found), so the findings are the same whoever calls them.
#ifndef TARVIK_PRINT_DOCTOR_H
#define TARVIK_PRINT_DOCTOR_H

#include <cerrno>
#include <optional>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

namespace doctor {

enum class Level { ok, warning, error };

struct Finding {
    Level level;
    int line; // 1-based line of tarvik.ini, 0 when the finding has none
    std::string message;
    std::string hint; // how to mend it; may be empty
};

// tarvik.ini as the shell found it.
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
struct Probe {
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

// The device path that the port entry of ini names, exactly as the library
// builds it; nothing when the file did not open or names no port.
std::optional<std::string> device_path(const Ini &ini);

// Every finding about ini and, when it names a device, about probe.
std::vector<Finding> examine(const Ini &ini, const Probe &probe);

// The finding on the line's modem status for the port entry on line:
// CTS off is a warning, for commands wait on it.
Finding line_finding(const Modem &modem, int line);

// The library's report for a port that did not open:
// "erro abertura porta serial, codigo C, errno E TEXT".
std::string port_report(int code, int err);

// The settings as stty names them: "speed 9600 baud; cs8 -parenb ...".
std::string stty_text(const termios &t);

// The process holding a whole-file lock on the inode, from the text of
// /proc/locks; 0 when none is listed.
pid_t lock_holder(const std::string &proc_locks, dev_t dev, ino_t ino);

// "ok", "warning", "error".
const char *level_name(Level level);

// 1 when any finding is an error, else 0.
int exit_status(const std::vector<Finding> &findings);

} // namespace doctor

#endif
