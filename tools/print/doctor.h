// The doctor: what a setup will do, in plain words. Everything here is a
// function over data (the bytes of tarvik.ini, what a look at the device
// found), so the findings are the same whoever calls them.
#ifndef TARVIK_PRINT_DOCTOR_H
#define TARVIK_PRINT_DOCTOR_H

#include "probe.h"

#include <string>
#include <termios.h>
#include <vector>

namespace tarvik_print::doctor {

enum class Level { ok, warning, error };

struct Finding {
    Level level;
    int line; // 1-based line of tarvik.ini, 0 when the finding has none
    std::string message;
    std::string hint; // how to mend it; may be empty
};

// Every finding about ini and, when it names a device, about what the look
// at it found.
std::vector<Finding> examine(const probe::Ini &ini, const probe::Device &device);

// The finding on the line's modem status for the port entry on line:
// CTS off is a warning, for commands wait on it.
Finding line_finding(const probe::Modem &modem, int line);

// What a device without modem lines is told, after its name.
extern const char kNoModemLines[];

// The holder of a lock in words: "process 1234 (name)", or "a process that
// could not be found" when /proc/locks shows none.
std::string holder_text(const probe::Holder &holder);

// The library's report for a port that did not open:
// "erro abertura porta serial, codigo C, errno E TEXT".
std::string port_report(int code, int err);

// The settings as stty names them: "speed 9600 baud; cs8 -parenb ...".
std::string stty_text(const termios &t);

// "ok", "warning", "error".
const char *level_name(Level level);

// 1 when any finding is an error, else 0.
int exit_status(const std::vector<Finding> &findings);

} // namespace tarvik_print::doctor

#endif
