#include "doctor.h"

#include "link/ini.h"
#include "protocol.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>

namespace tarvik_print::doctor {

namespace {

using probe::Device;

// The lines of tarvik.ini as the library reads them: its own reader, so a
// long line, a CR or a missing last line end count exactly as in a look-up.
std::vector<std::string> lines_of(const std::string &bytes) {
    IniReader in(bytes.data(), bytes.size());
    std::vector<std::string> lines;
    char line[kIniLine];
    while (in.next_line(line))
        lines.emplace_back(line);
    return lines;
}

// The device path that a port entry line gives, by the library's own rule.
std::string path_from(const std::string &line) {
    char path[kPortPath];
    port_path(line.c_str(), path);
    return path;
}

// The layout that one bank line carries, by the library's own rule.
std::string layout_from(const std::string &line) {
    char layout[kLayout];
    layout_of(line.c_str(), layout);
    return layout;
}

bool is_bank_line(const std::string &line) {
    return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) &&
           std::isdigit(static_cast<unsigned char>(line[2]));
}

// Seven two-digit numbers separated by commas.
bool good_layout(const std::string &layout) {
    if (layout.size() != 20) return false;
    for (std::size_t i = 0; i < layout.size(); ++i) {
        bool comma = i % 3 == 2;
        if (comma != (layout[i] == ',')) return false;
        if (!comma && !std::isdigit(static_cast<unsigned char>(layout[i]))) return false;
    }
    return true;
}

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

std::string port_failure(int code, int err) {
    return quoted(port_report(code, err));
}

const char kCheckName[] =
    "Check the name after Porta=: serial ports are ttyS0, ttyS1 ..., USB adapters ttyUSB0 or "
    "ttyACM0 (ls /dev/tty*), and an adapter must be plugged in.";
const char kCheckDevice[] =
    "Check that the device is present and not taken over by another driver.";

// What every command does when tarvik.ini cannot be opened.
std::string ends_the_process() {
    return "every command prints " + quoted(protocol::kIniMissingReport) +
           " and ends the calling process with status 1.";
}

// What gives the user access: the device's group when that group may read
// and write it, else a rule that gives some group access.
std::string permission_hint(const std::string &path, const Device &p) {
    // No mode: the path could not even be looked up.
    if (p.mode == 0)
        return "The user may not enter a directory on the way to " + path +
               ", so no group of the device's helps: let the user that prints into that "
               "directory, or name a device that it can reach.";
    if ((p.mode & 060) == 060)
        return "Add the user that prints to the group that owns the device, " +
               quoted(p.group.empty() ? "dialout" : p.group) +
               " (serial ports belong to dialout on most systems): usermod -aG GROUP USER, then "
               "log in again.";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(p.mode & 0777));
    std::string name = path.substr(path.rfind('/') + 1);
    return std::string("Its group ") + quoted(p.group) + " may not read and write it (mode " +
           mode + ", owner " + p.owner +
           "), so joining that group gives no access. Give a group access with a udev rule, "
           "such as KERNEL==\"" +
           name +
           "\", GROUP=\"dialout\", MODE=\"0660\" in /etc/udev/rules.d/50-printer.rules, then "
           "add the user that prints to that group: usermod -aG dialout USER, and log in again.";
}

int first_with(const std::vector<std::string> &lines, const char *needle) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(needle) != std::string::npos) return static_cast<int>(i);
    return -1;
}

Finding device_finding(const std::string &path, int line, const Device &p) {
    using S = Device::State;
    switch (p.state) {
    case S::missing:
        return {Level::error, line,
                path + " does not exist: every command fails with " + port_failure(-1, ENOENT) +
                    " and returns 0.",
                kCheckName};
    case S::not_char:
        return {Level::error, line,
                path + " is " + p.kind +
                    ", not a character device: commands cannot print on it and return 0.",
                "Name the printer's serial device after Porta=, for example ttyS0."};
    case S::no_permission:
        return {Level::error, line,
                "No permission to read and write " + path + ": every command fails with " +
                    port_failure(-1, p.err) + " and returns 0.",
                permission_hint(path, p)};
    case S::open_failed: {
        // A path through a file, a loop of links, a name too long: the name is wrong.
        bool name = p.err == ENOTDIR || p.err == ELOOP || p.err == ENAMETOOLONG;
        return {Level::error, line,
                path + " does not open: every command fails with " + port_failure(-1, p.err) +
                    " and returns 0.",
                name ? kCheckName : kCheckDevice};
    }
    case S::not_terminal:
        return {Level::error, line,
                path + " opens but is not a terminal: every command prints " +
                    quoted(protocol::kNotTerminalReport) + ", then " + port_failure(-2, p.err) +
                    ", and returns 0.",
                "Name a serial port after Porta= (ttyS0, ttyUSB0, ttyACM0 ...)."};
    case S::opened:
        break;
    }
    return {Level::ok, line,
            path + " opens; its settings now: " + stty_text(p.settings) +
                ". Each command sets 9600 8N1, RTS/CTS, raw, and puts these back after.",
            ""};
}

void port_findings(const std::vector<std::string> &lines, const Device &probe,
                   std::vector<Finding> &out) {
    int entry = first_with(lines, kPortKey);
    if (entry < 0) {
        out.push_back({Level::error, 0,
                       "No line holds \"Porta=\": every command fails with " +
                           port_failure(-1, ENOENT) + " and returns 0.",
                       "Add the port entry at the start of a line: Porta=ttyS0 opens /dev/ttyS0, "
                       "Porta=ttyUSB0 opens /dev/ttyUSB0."});
        return;
    }
    const std::string &line = lines[static_cast<std::size_t>(entry)];
    std::string path = path_from(line);
    std::size_t key = line.find(kPortKey);
    int number = entry + 1;
    if (key != 0) {
        out.push_back(
            {Level::error, number,
             "\"Porta=\" does not start the line: the name is read from the line's 7th "
             "character all the same, so commands open " +
                 path + " instead of " + path_from(line.substr(key)) + ".",
             "Delete what stands before Porta=. A comment mark does not switch the line off: "
             "the first line holding Porta= anywhere is the port entry."});
    } else {
        out.push_back({Level::ok, number, "The port entry: commands open " + path + ".", ""});
    }
    for (std::size_t i = static_cast<std::size_t>(entry) + 1; i < lines.size(); ++i)
        if (lines[i].find(kPortKey) != std::string::npos)
            out.push_back({Level::warning, static_cast<int>(i) + 1,
                           "A second port entry, ignored: the one on line " +
                               std::to_string(number) + " is used.",
                           "Keep one line with Porta= and delete the others."});
    out.push_back(device_finding(path, number, probe));
    if (probe.state != Device::State::opened) return;
    out.push_back(line_finding(probe.modem, number));
    if (probe.locked) {
        out.push_back({Level::warning, number,
                       path + " is locked right now by another program, " +
                           holder_text(probe.holder) + ": commands wait until it lets go.",
                       "Nothing to mend if that program prints too; otherwise stop it."});
    }
}

// The code that three digits from k on make, or -1.
int code_at(const std::string &line, std::size_t k) {
    int code = 0;
    for (std::size_t i = k; i < k + 3; ++i) {
        if (i >= line.size() || !std::isdigit(static_cast<unsigned char>(line[i]))) return -1;
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

void bank_findings(const std::vector<std::string> &lines, std::vector<Finding> &out) {
    // The first line that holds each three-digit code anywhere, found in one
    // pass, as a look-up takes the first line containing the code.
    std::vector<int> first(1000, -1);
    for (std::size_t i = 0; i < lines.size(); ++i)
        for (std::size_t k = 0; k + 3 <= lines[i].size(); ++k) {
            int code = code_at(lines[i], k);
            if (code >= 0 && first[static_cast<std::size_t>(code)] < 0)
                first[static_cast<std::size_t>(code)] = static_cast<int>(i);
        }
    std::vector<bool> listed(1000, false);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!is_bank_line(lines[i])) continue;
        std::string code = lines[i].substr(0, 3);
        std::size_t index = static_cast<std::size_t>(code_at(code, 0));
        int number = static_cast<int>(i) + 1;
        int winner = first[index] + 1;
        bool again = listed[index];
        listed[index] = true;
        if (again) {
            out.push_back({Level::warning, number,
                           "Bank " + code +
                               " is listed again, ignored: its look-up stops at line " +
                               std::to_string(winner) + ".",
                           "Keep one line for each bank."});
            continue;
        }
        if (winner < number) {
            out.push_back({Level::error, number,
                           "Line " + std::to_string(winner) + " holds " + code +
                               " and comes first, so checks for bank " + code +
                               " take the layout " +
                               quoted(layout_from(lines[static_cast<std::size_t>(winner - 1)])) +
                               " from it instead of this line's.",
                           "Move the bank lines above line " + std::to_string(winner) +
                               ", or take " + code + " out of it."});
            continue;
        }
        std::string layout = layout_from(lines[i]);
        if (!good_layout(layout)) {
            out.push_back(
                {Level::error, number,
                 "Bank " + code + ": the layout " + quoted(layout) +
                     " is not seven two-digit numbers separated by commas, and the "
                     "printer gets it as it is.",
                 "Write the code, one space and the layout: " + code + " 05,15,08,06,06,05,05."});
            continue;
        }
        out.push_back(
            {Level::ok, number, "Bank " + code + ": checks use the layout " + layout + ".", ""});
    }
}

struct Flag {
    tcflag_t bit;
    const char *name;
};

void flags(std::string &out, tcflag_t word, std::initializer_list<Flag> list) {
    for (const Flag &f : list) {
        out += (word & f.bit) ? " " : " -";
        out += f.name;
    }
}

long baud(speed_t s) {
    static const struct {
        speed_t code;
        long rate;
    } table[] = {{B0, 0},           {B50, 50},         {B75, 75},          {B110, 110},
                 {B134, 134},       {B150, 150},       {B200, 200},        {B300, 300},
                 {B600, 600},       {B1200, 1200},     {B1800, 1800},      {B2400, 2400},
                 {B4800, 4800},     {B9600, 9600},     {B19200, 19200},    {B38400, 38400},
                 {B57600, 57600},   {B115200, 115200}, {B230400, 230400},  {B460800, 460800},
                 {B500000, 500000}, {B921600, 921600}, {B1000000, 1000000}};
    for (const auto &e : table)
        if (e.code == s) return e.rate;
    return -1;
}

std::string speed_text(speed_t s) {
    long rate = baud(s);
    return rate >= 0 ? std::to_string(rate) : "unknown";
}

} // namespace

const char *level_name(Level level) {
    switch (level) {
    case Level::ok:
        return "ok";
    case Level::warning:
        return "warning";
    case Level::error:
        return "error";
    }
    return "error";
}

int exit_status(const std::vector<Finding> &findings) {
    for (const Finding &f : findings)
        if (f.level == Level::error) return 1;
    return 0;
}

std::vector<Finding> examine(const probe::Ini &ini, const Device &device) {
    std::vector<Finding> out;
    if (!ini.kind.empty()) {
        out.push_back({Level::error, 0,
                       "tarvik.ini is " + ini.kind +
                           ", not a file: every command reads it as one, and may wait on it "
                           "or read it for ever.",
                       "Make tarvik.ini a regular file with a port entry such as Porta=ttyS0."});
        return out;
    }
    if (!ini.opened && ini.err == EACCES) {
        out.push_back(
            {Level::error, 0,
             "tarvik.ini is here but cannot be read (" + ini.why + "): " + ends_the_process(),
             "Let the user that prints read it: chmod a+r tarvik.ini, or give it to "
             "that user's group and chmod g+r tarvik.ini. When it is a link, that "
             "user must also be let into the directory it points into."});
        return out;
    }
    if (!ini.opened) {
        out.push_back({Level::error, 0,
                       "tarvik.ini does not open here (" + ini.why + "): " + ends_the_process(),
                       ini.err == ENOENT
                           ? "Create tarvik.ini in the directory the application runs in, with a "
                             "port entry such as Porta=ttyS0."
                           : "Make tarvik.ini a regular file that the user that prints can read, "
                             "or a link that leads to one."});
        return out;
    }
    std::vector<std::string> lines = lines_of(ini.bytes);
    port_findings(lines, device, out);
    bank_findings(lines, out);
    return out;
}

const char kNoModemLines[] = "has no modem lines, as a pseudo-terminal or a port carried over the "
                             "network has none: whether the printer is ready cannot be told.";

Finding line_finding(const probe::Modem &modem, int line) {
    auto on = [&](int bit) { return (modem.bits & bit) != 0 ? "on" : "off"; };
    std::string lines = std::string("DSR ") + on(TIOCM_DSR) + ", DCD " + on(TIOCM_CAR);
    if (modem.err == ENOTTY)
        return {Level::ok, line, std::string("The device ") + kNoModemLines, ""};
    if (modem.err != 0)
        return {Level::warning, line,
                "The modem lines cannot be read (errno " + std::to_string(modem.err) + " " +
                    std::strerror(modem.err) + "): whether the printer is ready cannot be told.",
                kCheckDevice};
    if ((modem.bits & TIOCM_CTS) == 0)
        return {Level::warning, line,
                "CTS is off (" + lines + "): commands will wait until the printer takes the bytes.",
                "The printer holds CTS off when it is switched off, out of paper or has its "
                "cover open, or when the cable is out. To bound the wait: tarvik-print "
                "--timeout SECONDS."};
    return {Level::ok, line, "CTS is on (" + lines + "): the printer takes bytes.", ""};
}

std::string holder_text(const probe::Holder &holder) {
    return holder.pid != 0 ? "process " + std::to_string(holder.pid) + " (" + holder.name + ")"
                           : "a process that could not be found";
}

std::string port_report(int code, int err) {
    char report[protocol::kPortReportSize];
    protocol::port_report(report, code, err);
    return report;
}

std::string stty_text(const termios &t) {
    std::string out;
    speed_t in = cfgetispeed(&t), o = cfgetospeed(&t);
    if (in == o || in == B0)
        out = "speed " + speed_text(o) + " baud;";
    else
        out = "ispeed " + speed_text(in) + " baud; ospeed " + speed_text(o) + " baud;";
    static const char *sizes[] = {"cs5", "cs6", "cs7", "cs8"};
    tcflag_t size = t.c_cflag & CSIZE;
    out += " ";
    out += sizes[size == CS8 ? 3 : size == CS7 ? 2 : size == CS6 ? 1 : 0];
    flags(out, t.c_cflag,
          {{PARENB, "parenb"},
           {PARODD, "parodd"},
           {CSTOPB, "cstopb"},
           {CRTSCTS, "crtscts"},
           {CLOCAL, "clocal"},
           {CREAD, "cread"},
           {HUPCL, "hupcl"}});
    out += ";";
    flags(out, t.c_iflag,
          {{IGNBRK, "ignbrk"},
           {BRKINT, "brkint"},
           {INPCK, "inpck"},
           {ISTRIP, "istrip"},
           {ICRNL, "icrnl"},
           {IXON, "ixon"},
           {IXOFF, "ixoff"}});
    out += ";";
    flags(out, t.c_oflag, {{OPOST, "opost"}, {ONLCR, "onlcr"}});
    out += ";";
    flags(out, t.c_lflag, {{ISIG, "isig"}, {ICANON, "icanon"}, {ECHO, "echo"}});
    out += "; min = " + std::to_string(t.c_cc[VMIN]) + "; time = " + std::to_string(t.c_cc[VTIME]);
    return out;
}

} // namespace tarvik_print::doctor
