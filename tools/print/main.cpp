// tarvik-print: the printer's commands from a shell, and a doctor that
// explains a setup. The printing forms call the library like any
// application; the doctor reads tarvik.ini and looks at the device.
#include "tarvik.h"

#include "charset.h"
#include "doctor.h"
#include "files.h"
#include "probe.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: tarvik-print [--charset NAME] COMMAND ARGUMENT...\n"
    "       tarvik-print doctor [--json]\n"
    "Prints on the printer that ./tarvik.ini names.\n"
    "\n"
    "  check TEXT1 TEXT2 DATE AMOUNT TEXT5 TEXT6 BANK   a check from its fields\n"
    "      tarvik-print check 'PAGUE POR ESTE CHEQUE' 'JOSE DA SILVA' 15/03/2025 1.234,56 \\\n"
    "          'SAO PAULO' 'CONTA 12345-6' 237\n"
    "  text PITCH FLAG TEXT             a line on the front of the document\n"
    "      tarvik-print text 0 N 'TOTAL R$ 10,00'\n"
    "  auth PITCH FLAG SELECTOR TEXT    an authentication line\n"
    "      tarvik-print auth 1 S V 'AUT 000123 15/03/2025'\n"
    "  back PITCH FLAG TEXT             a line on the back of the document\n"
    "      tarvik-print back 0 N 'ENDOSSO: JOSE DA SILVA'\n"
    "  lf N                             feed N lines (at most 10)\n"
    "      tarvik-print lf 3\n"
    "  back-side on|off                 switch to the back of the document, or leave it\n"
    "      tarvik-print back-side on\n"
    "  doctor [--json]                  explain tarvik.ini and the device; changes nothing\n"
    "      tarvik-print doctor --json\n"
    "\n"
    "PITCH is one of 0123456789*+; FLAG is S (double width) or N; SELECTOR is Y, V or X.\n"
    "Options:\n"
    "  --charset NAME  convert the texts from UTF-8 to the code page NAME (CP850,\n"
    "                  ISO-8859-1 ...); a character it lacks stops everything\n"
    "  --json          doctor: one JSON object per finding\n"
    "  -h, --help      show this text\n"
    "Exit status: 0 when the command was sent (or the doctor found no error), 1 otherwise.\n";

// A wrong argument: one line, then the usage; the port is not touched.
int wrong(const std::string &why) {
    std::fprintf(stderr, "tarvik-print: %s\n%s", why.c_str(), kUsage);
    return 1;
}

// A text argument, converted to the printer's code page when one is given.
struct Texts {
    std::string charset; // empty: bytes pass unchanged
    std::string error;

    bool take(const char *arg, std::string &out) {
        if (charset.empty()) {
            out = arg;
            return true;
        }
        std::string why;
        // The library takes the text up to its first zero byte.
        if (charset::convert(charset, arg, out, why) && out.find('\0') == std::string::npos)
            return true;
        if (why.empty()) why = charset + " gives a zero byte, which would end the text";
        error = "\"" + std::string(arg) + "\": " + why + "; nothing was printed";
        return false;
    }
};

bool one_of(const char *arg, const char *allowed, char &out) {
    if (std::strlen(arg) != 1 || std::strchr(allowed, arg[0]) == nullptr) return false;
    out = arg[0];
    return true;
}

// The library's 1 is the shell's success.
int result(int library) {
    std::fflush(stdout);
    return library == 1 ? 0 : 1;
}

int line_command(const std::string &name, int argc, char **argv, Texts &texts) {
    bool auth = name == "auth";
    int want = auth ? 4 : 3;
    if (argc != want)
        return wrong(name + " takes " + (auth ? "PITCH FLAG SELECTOR TEXT" : "PITCH FLAG TEXT"));
    char pitch, flag, selector = 'X';
    if (!one_of(argv[0], "0123456789*+", pitch))
        return wrong("PITCH is one of 0123456789*+, not \"" + std::string(argv[0]) + "\"");
    if (!one_of(argv[1], "SN", flag))
        return wrong("FLAG is S or N, not \"" + std::string(argv[1]) + "\"");
    if (auth && !one_of(argv[2], "YVX", selector))
        return wrong("SELECTOR is Y, V or X, not \"" + std::string(argv[2]) + "\"");
    std::string text;
    if (!texts.take(argv[want - 1], text)) {
        std::fprintf(stderr, "tarvik-print: %s\n", texts.error.c_str());
        return 1;
    }
    if (name == "text") return result(tarvtxt(pitch, flag, text.data()));
    if (auth) return result(tarvaut(pitch, flag, selector, text.data()));
    return result(tarvversotxt(pitch, flag, text.data()));
}

int check_command(int argc, char **argv, Texts &texts) {
    if (argc != 7) return wrong("check takes TEXT1 TEXT2 DATE AMOUNT TEXT5 TEXT6 BANK");
    std::string f[7];
    for (int i = 0; i < 7; ++i) {
        bool text = i == 0 || i == 1 || i == 4 || i == 5;
        if (!text) {
            f[i] = argv[i];
        } else if (!texts.take(argv[i], f[i])) {
            std::fprintf(stderr, "tarvik-print: %s\n", texts.error.c_str());
            return 1;
        }
    }
    return result(tarvcheque(f[0].data(), f[1].data(), f[2].data(), f[3].data(), f[4].data(),
                             f[5].data(), f[6].data()));
}

int lf_command(int argc, char **argv) {
    if (argc != 1) return wrong("lf takes N");
    char *end = nullptr;
    errno = 0;
    long n = std::strtol(argv[0], &end, 10);
    if (argv[0][0] == '\0' || *end != '\0' || errno != 0 || n < INT_MIN || n > INT_MAX)
        return wrong("N is a whole number, not \"" + std::string(argv[0]) + "\"");
    return result(tarvlf(static_cast<int>(n)));
}

int back_side_command(int argc, char **argv) {
    if (argc != 1 || (std::strcmp(argv[0], "on") != 0 && std::strcmp(argv[0], "off") != 0))
        return wrong("back-side takes on or off");
    return result(std::strcmp(argv[0], "on") == 0 ? tarvabreverso() : tarvfechaverso());
}

doctor::Ini read_ini() {
    doctor::Ini ini;
    // A named pipe would wait for a writer, and a device may never end: only
    // a file is read. A directory reads as empty, as it does for a look-up.
    struct stat st {};
    if (stat("tarvik.ini", &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
            ini.opened = true;
        else
            ini.kind = files::kind_of(st.st_mode);
        return ini;
    }
    ini.opened = files::read_file("tarvik.ini", ini.bytes);
    if (!ini.opened) {
        ini.err = errno;
        ini.why = std::strerror(errno);
    }
    return ini;
}

int doctor_command(bool json) {
    doctor::Ini ini = read_ini();
    doctor::Probe probe;
    if (std::optional<std::string> path = doctor::device_path(ini))
        probe = doctor::probe_device(*path);
    std::vector<doctor::Finding> findings = doctor::examine(ini, probe);
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

} // namespace

int main(int argc, char **argv) {
    static const option options[] = {{"charset", required_argument, nullptr, 'c'},
                                     {"json", no_argument, nullptr, 'j'},
                                     {"help", no_argument, nullptr, 'h'},
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

    if (command == "doctor") {
        // The command's own options; "doctor" stands as the program name.
        optind = 0;
        while ((c = getopt_long(rest + 1, args - 1, "+", options + 1, nullptr)) != -1) {
            if (c != 'j') return wrong("doctor takes only --json");
            json = true;
        }
        if (optind != rest + 1) return wrong("doctor takes only --json");
        if (!texts.charset.empty()) return wrong("--charset is for the printing commands");
        return doctor_command(json);
    }
    if (json) return wrong("--json is for the doctor");
    if (command == "check") return check_command(rest, args, texts);
    if (command == "text" || command == "auth" || command == "back")
        return line_command(command, rest, args, texts);
    if (command == "lf") return lf_command(rest, args);
    if (command == "back-side") return back_side_command(rest, args);
    return wrong("unknown command \"" + command + "\"");
}
