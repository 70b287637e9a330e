// tarvik-print: the printer's commands from a shell, whether the printer is
// ready, and a doctor that explains a setup. The printing forms call the
// library like any application; status and the doctor read tarvik.ini and
// look at the device.
#include "tarvik.h"

#include "bounded.h"
#include "charset.h"
#include "doctor.h"
#include "failure.h"
#include "probe.h"
#include "protocol.h"
#include "status.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <getopt.h>
#include <iostream>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <vector>

namespace {

namespace doctor = tarvik_print::doctor;
namespace probe = tarvik_print::probe;
namespace status = tarvik_print::status;

const char kUsage[] =
    "Usage: tarvik-print [--charset NAME] [--timeout SECONDS] COMMAND ARGUMENT...\n"
    "       tarvik-print status [--json]\n"
    "       tarvik-print doctor [--json]\n"
    "Prints on the printer that ./tarvik.ini names.\n"
    "\n"
    "  check TEXT1 TEXT2 DATE AMOUNT TEXT5 TEXT6 BANK   a check from its fields\n"
    "      tarvik-print check 'MIL DUZENTOS E TRINTA E QUATRO REAIS' \\\n"
    "          'E CINQUENTA E SEIS CENTAVOS' 08/12/2026 1.234,56 'FULANO DE TAL' \\\n"
    "          'SAO PAULO' 341\n"
    "  text PITCH FLAG TEXT             a line on the front of the document\n"
    "      tarvik-print text 0 N 'RECEBEMOS O DOCUMENTO ABAIXO'\n"
    "  auth PITCH FLAG SELECTOR TEXT    an authentication line\n"
    "      tarvik-print auth 1 S Y 'AUT 0001 08/12/2026 R$ 1.234,56'\n"
    "  back PITCH FLAG TEXT             a line on the back of the document\n"
    "      tarvik-print back 0 N 'DEPOSITO EM CONTA 12345-6'\n"
    "  lf N                             feed N lines (at most 10)\n"
    "      tarvik-print lf 3\n"
    "  back-side on|off                 switch to the back of the document, or leave it\n"
    "      tarvik-print back-side on\n"
    "  status [--json]                  is the printer ready? never waits, changes nothing\n"
    "      tarvik-print status\n"
    "  doctor [--json]                  explain tarvik.ini and the device; changes nothing\n"
    "      tarvik-print doctor --json\n"
    "\n"
    "PITCH is one of 0123456789*+; FLAG is S (double width) or N; SELECTOR is Y, V or X.\n"
    "Options:\n"
    "  --charset NAME  convert the texts from UTF-8 to the code page NAME (CP850,\n"
    "                  ISO-8859-1 ...); a character it lacks stops everything\n"
    "  --timeout SECONDS  give up waiting for the port's lock or for the printer after\n"
    "                  SECONDS (0.5, 30): the rest is dropped and the line restored\n"
    "  --json          status: one JSON object; doctor: one per finding\n"
    "  -h, --help      show this text\n"
    "Exit status: 0 when the command was sent (or the doctor found no error), 1 otherwise,\n"
    "124 when --timeout ran out. status: 0 ready, 1 no port, 2 not ready, 3 cannot tell.\n";

// A wrong argument: one line, then the usage; the port is not touched.
int wrong(const std::string &why) {
    std::fprintf(stderr, "tarvik-print: %s\n%s", why.c_str(), kUsage);
    return 1;
}

// A text argument, converted to the printer's code page when one is given.
// A text that does not convert is a Failure: nothing is printed.
struct Texts {
    std::string charset; // empty: bytes pass unchanged

    std::string take(const char *arg) const {
        if (charset.empty()) return arg;
        std::string reason;
        try {
            std::string out = charset::convert(charset, arg);
            // The library takes the text up to its first zero byte.
            if (out.find('\0') == std::string::npos) return out;
            reason = charset + " gives a zero byte, which would end the text";
        } catch (const Failure &f) {
            reason = f.what();
        }
        throw Failure("\"" + std::string(arg) + "\": " + reason + "; nothing was printed");
    }
};

bool one_of(const char *arg, const char *allowed, char &out) {
    if (std::strlen(arg) != 1 || std::strchr(allowed, arg[0]) == nullptr) return false;
    out = arg[0];
    return true;
}

// --timeout: the text as given, and the bound; 0 when there is none.
struct Bound {
    std::string text;
    bounded::Micros micros = 0;
};
Bound bound;

// The end of a command that the timer cut short: the reason on standard
// error, standard output left empty, exit status 124. After a stop, the
// reason (where something was cut), and then the signal ends the program as
// it would have.
int cut_short(const std::string &what) {
    int sig = bounded::stop();
    if (sig == 0) {
        std::fprintf(stderr, "tarvik-print: --timeout %s s ran out: %s\n", bound.text.c_str(),
                     what.c_str());
        return 124;
    }
    if (!what.empty()) std::fprintf(stderr, "tarvik-print: %s: %s\n", strsignal(sig), what.c_str());
    bounded::die(sig);
    return 128 + sig;
}

// Why the port did not open in time: another program's lock, where
// /proc/locks shows one; else the open itself waited (a port without clocal
// waits for its carrier).
std::string open_wait() {
    std::string path = probe::device_path(probe::read_ini()).value_or("the port");
    struct stat st {};
    std::optional<probe::Holder> h;
    if (stat(path.c_str(), &st) == 0) h = probe::holder_of(st);
    if (h && h->pid != 0)
        return path + " is held by another program, " + doctor::holder_text(*h) +
               ". Nothing was sent.";
    return path + " did not open in time. Nothing was sent.";
}

// Runs one command of the library while holding the port through
// serial_open, so that a wait for the lock (the open fails) is told apart
// from a wait for the printer (the command gives 0 with EINTR), whether the
// timer or a stop ended it. The library's 1 is the shell's success.
int held(const std::function<int()> &command) {
    // The signals that end the program by default end the command as the
    // timer does while it holds the port, so that the line is put back
    // before the signal takes its course.
    bounded::handle({SIGHUP, SIGINT, SIGPIPE, SIGTERM});
    bounded::Run run(bound.micros);
    int fd = serial_open();
    if (fd < 0) {
        int err = errno;
        run.disarm();
        if (run.cut(err)) return cut_short(open_wait());
        // The report that the command would have given for the same open.
        std::printf("%s%s", doctor::port_report(fd, err).c_str(), protocol::kPortReportEnd);
        std::fflush(stdout);
        return bounded::stop() != 0 ? cut_short("") : 1;
    }
    errno = 0;
    int printed = command();
    bool cut = printed != 1 && run.cut(errno);
    probe::Modem modem = cut ? probe::modem_lines(fd) : probe::Modem{};
    serial_close(fd);
    run.disarm();
    std::fflush(stdout);
    if (!cut) return bounded::stop() != 0 ? cut_short("") : printed == 1 ? 0 : 1;
    const char *cts = modem.err != 0 ? "unknown" : (modem.bits & TIOCM_CTS) != 0 ? "on" : "off";
    return cut_short(std::string("the printer did not take the bytes (CTS ") + cts +
                     "). The line was restored and the rest dropped.");
}

int line_command(const std::string &name, int argc, char **argv, const Texts &texts) {
    bool auth = name == "auth";
    int want = auth ? 4 : 3;
    if (argc != want)
        return wrong(name + " takes " + (auth ? "PITCH FLAG SELECTOR TEXT" : "PITCH FLAG TEXT"));
    char pitch, flag, selector = 'X';
    if (!one_of(argv[0], protocol::kPitchCodes, pitch))
        return wrong("PITCH is one of 0123456789*+, not \"" + std::string(argv[0]) + "\"");
    if (!one_of(argv[1], "SN", flag))
        return wrong("FLAG is S or N, not \"" + std::string(argv[1]) + "\"");
    if (auth && !one_of(argv[2], protocol::kSelectors, selector))
        return wrong("SELECTOR is Y, V or X, not \"" + std::string(argv[2]) + "\"");
    std::string text = texts.take(argv[want - 1]);
    if (name == "text") return held([&] { return tarvtxt(pitch, flag, text.data()); });
    if (auth) return held([&] { return tarvaut(pitch, flag, selector, text.data()); });
    return held([&] { return tarvversotxt(pitch, flag, text.data()); });
}

int check_command(int argc, char **argv, const Texts &texts) {
    if (argc != 7) return wrong("check takes TEXT1 TEXT2 DATE AMOUNT TEXT5 TEXT6 BANK");
    std::string f[7];
    for (int i = 0; i < 7; ++i) {
        bool text = i == 0 || i == 1 || i == 4 || i == 5;
        f[i] = text ? texts.take(argv[i]) : argv[i];
    }
    return held([&] {
        return tarvcheque(f[0].data(), f[1].data(), f[2].data(), f[3].data(), f[4].data(),
                          f[5].data(), f[6].data());
    });
}

int lf_command(int argc, char **argv) {
    if (argc != 1) return wrong("lf takes N");
    char *end = nullptr;
    errno = 0;
    long n = std::strtol(argv[0], &end, 10);
    if (argv[0][0] == '\0' || *end != '\0' || errno != 0 || n < INT_MIN || n > INT_MAX)
        return wrong("N is a whole number, not \"" + std::string(argv[0]) + "\"");
    return held([&] { return tarvlf(static_cast<int>(n)); });
}

int back_side_command(int argc, char **argv) {
    if (argc != 1 || (std::strcmp(argv[0], "on") != 0 && std::strcmp(argv[0], "off") != 0))
        return wrong("back-side takes on or off");
    bool on = std::strcmp(argv[0], "on") == 0;
    return held([&] { return on ? tarvabreverso() : tarvfechaverso(); });
}

// The look at tarvik.ini and the device that the doctor and status take.
struct Look {
    probe::Ini ini = probe::read_ini();
    probe::Device device;
    Look() {
        if (std::optional<std::string> path = probe::device_path(ini))
            device = probe::device(*path);
    }
};

int doctor_command(bool json) {
    Look look;
    std::vector<doctor::Finding> findings = doctor::examine(look.ini, look.device);
    for (const doctor::Finding &f : findings) {
        if (json) {
            nlohmann::ordered_json o = {
                {"level", doctor::level_name(f.level)},
                {"line", f.line > 0 ? nlohmann::ordered_json(f.line) : nullptr},
                {"message", f.message},
                {"hint", f.hint}};
            // Texts from the file may hold any byte; keep the output valid.
            std::cout << o.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                      << '\n';
            continue;
        }
        std::cout << doctor::level_name(f.level);
        if (f.line > 0) std::cout << ", tarvik.ini line " << f.line;
        std::cout << ": " << f.message << '\n';
        if (!f.hint.empty()) std::cout << "    fix: " << f.hint << '\n';
    }
    std::cout.flush();
    return doctor::exit_status(findings);
}

int status_command(bool json) {
    Look look;
    status::Printer st = status::of(look.ini, look.device);
    std::string state = status::state_name(st.state);
    if (json) {
        using J = nlohmann::ordered_json;
        auto seen = [](std::optional<bool> on) { return on ? J(*on) : J(nullptr); };
        J holder = nullptr;
        if (st.holder && st.holder->pid != 0)
            holder = {{"pid", st.holder->pid}, {"name", st.holder->name}};
        else if (st.holder)
            holder = {{"pid", nullptr}, {"name", nullptr}};
        J o = {{"state", state},       {"device", st.device ? J(*st.device) : J(nullptr)},
               {"cts", seen(st.cts)},  {"dsr", seen(st.dsr)},
               {"dcd", seen(st.dcd)},  {"holder", holder},
               {"message", st.message}};
        // The device's name comes from the file and may hold any byte.
        std::cout << o.dump(-1, ' ', false, J::error_handler_t::replace) << '\n';
    } else {
        auto seen = [](std::optional<bool> on) { return !on ? "unknown" : *on ? "on" : "off"; };
        std::replace(state.begin(), state.end(), '_', ' ');
        std::cout << state << ": " << st.message << "\nlines: CTS " << seen(st.cts) << ", DSR "
                  << seen(st.dsr) << ", DCD " << seen(st.dcd) << '\n';
        if (st.holder)
            std::cout << "locked by " << doctor::holder_text(*st.holder)
                      << ": commands wait until it lets go.\n";
    }
    std::cout.flush();
    return status::exit_status(st.state);
}

int run(int argc, char **argv) {
    static const option options[] = {{"charset", required_argument, nullptr, 'c'},
                                     {"json", no_argument, nullptr, 'j'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {"timeout", required_argument, nullptr, 't'},
                                     {nullptr, 0, nullptr, 0}};
    Texts texts;
    bool json = false;
    opterr = 0;
    // '+': options stop at the command, so a text may begin with '-'.
    int c;
    while ((c = getopt_long(argc, argv, "+:h", options, nullptr)) != -1) {
        switch (c) {
        case 'c':
            if (*optarg == '\0') return wrong("unknown character set \"\"");
            texts.charset = optarg;
            break;
        case 'j':
            json = true;
            break;
        case 't':
            bound = {optarg, bounded::parse_seconds(optarg)};
            if (bound.micros == 0)
                return wrong("--timeout takes a number of seconds above 0, such as 0.5 or 30, "
                             "not \"" +
                             std::string(optarg) + "\"");
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        case ':':
            return wrong("\"" + std::string(argv[optind - 1]) + "\" needs a value");
        default:
            // An unknown letter, perhaps inside a cluster such as -xy, or a
            // whole unknown long option.
            return wrong("unknown option \"" +
                         (optopt != 0 ? std::string("-") + static_cast<char>(optopt)
                                      : std::string(argv[optind - 1])) +
                         "\"");
        }
    }
    if (optind >= argc) return wrong("no command");
    std::string command = argv[optind];
    int rest = argc - optind - 1;
    char **args = argv + optind + 1;
    if (!texts.charset.empty() && !charset::known(texts.charset))
        return wrong("unknown character set \"" + texts.charset + "\"");

    if (command == "doctor" || command == "status") {
        // The command's own options; the command stands as the program name.
        // Neither waits, so --timeout has nothing to bound there.
        const std::string only = command + " takes only --json";
        optind = 0;
        while ((c = getopt_long(rest + 1, args - 1, "+", options + 1, nullptr)) != -1) {
            if (c != 'j') return wrong(only);
            json = true;
        }
        if (optind != rest + 1) return wrong(only);
        if (!texts.charset.empty()) return wrong("--charset is for the printing commands");
        return command == "doctor" ? doctor_command(json) : status_command(json);
    }
    if (json) return wrong("--json is for status and the doctor");
    if (command == "check") return check_command(rest, args, texts);
    if (command == "text" || command == "auth" || command == "back")
        return line_command(command, rest, args, texts);
    if (command == "lf") return lf_command(rest, args);
    if (command == "back-side") return back_side_command(rest, args);
    return wrong("unknown command \"" + command + "\"");
}

} // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const Failure &f) {
        std::fprintf(stderr, "tarvik-print: %s\n", f.what());
        return 1;
    }
}
