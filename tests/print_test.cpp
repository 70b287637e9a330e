// tarvik-print as a user runs it: a process in a directory with tarvik.ini,
// its exit status, what it prints, and what reaches the printer's line.
#include "doctor.h"
#include "support/harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <grp.h>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace doctor = tarvik_print::doctor;

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs tarvik-print with args in the current directory; in_child runs first
// in the child (to drop privileges, say). program: a copy of it to run. A
// run that outlasts limit is killed, so that a test of a wait fails rather
// than hangs. meanwhile runs in this process while it runs. The status of a
// run that a signal ended is 128 and the signal, as a shell gives it.
Outcome tarvik_print(const std::vector<std::string> &args,
                     const std::function<void()> &in_child = nullptr,
                     const std::string &program = TARVIK_PRINT,
                     std::chrono::seconds limit = std::chrono::seconds(60),
                     const std::function<void(pid_t)> &meanwhile = nullptr) {
    char out_name[] = "/tmp/tarvik-print-out-XXXXXX", err_name[] = "/tmp/tarvik-print-err-XXXXXX";
    int out = mkstemp(out_name), err = mkstemp(err_name);
    unlink(out_name);
    unlink(err_name);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(err, 2);
        if (in_child) in_child();
        std::vector<std::string> command = {program};
        command.insert(command.end(), args.begin(), args.end());
        th::exec_built(command);
    }
    std::promise<void> ended;
    std::thread watchdog([pid, limit, done = ended.get_future()] {
        if (done.wait_for(limit) == std::future_status::timeout) kill(pid, SIGKILL);
    });
    if (meanwhile) meanwhile(pid);
    Outcome r;
    int status = 0;
    waitpid(pid, &status, 0);
    ended.set_value();
    watchdog.join();
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = th::read_all(out);
    r.err = th::read_all(err);
    close(out);
    close(err);
    return r;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// ---- The doctor -------------------------------------------------------------

// ini_fifo, ini_zero: tarvik.ini is a named pipe that nobody writes, or a
// link to /dev/zero; the doctor must neither wait nor read it for ever.
// ini_loop: tarvik.ini is a link to itself.
// modem: the finding on the row's modem lines, which a pseudo-terminal
// lacks, straight from the doctor's function.
enum class Scene { plain, no_ini, locked, odd_settings, ini_fifo, ini_zero, ini_loop, modem };

struct DoctorCase {
    const char *name;
    Scene scene;
    // %P: the printer's name, %F: a regular file's, %L: a link to itself's,
    // %I: this process's id
    const char *ini;
    const char *level;
    int line; // 0: no line
    const char *message;
    int status;
    int modem_err = ENOTTY; // Scene::modem: what reading the lines gave
    int modem_bits = 0;
    const char *hint = ""; // checked when given
};

const DoctorCase kDoctorCases[] = {
    {"ini missing", Scene::no_ini, "", "error", 0, "erro abertura tarvik.ini", 1},
    {"ini a link to itself", Scene::ini_loop, "", "error", 0,
     "tarvik.ini does not open here (Too many levels of symbolic links)", 1, ENOTTY, 0,
     "Make tarvik.ini a regular file that the user that prints can read, or a link"},
    {"no port entry", Scene::plain, "237 05,15,08,06,06,05,05\n", "error", 0,
     "No line holds \"Porta=\"", 1},
    {"port entry", Scene::plain, "Porta=%P;COM1\r\n", "ok", 1, "commands open /dev/%P.", 0},
    {"comment before the key", Scene::plain, "#Porta=%P\n", "error", 1, "does not start the line",
     1},
    {"second entry", Scene::plain, "Porta=%P\nPorta=ttyS9\n", "warning", 2,
     "A second port entry, ignored: the one on line 1", 0},
    {"device missing", Scene::plain, "Porta=nope9\n", "error", 1, "/dev/nope9 does not exist", 1},
    {"not a character device", Scene::plain, "Porta=%F\n", "error", 1,
     "is a regular file, not a character device", 1},
    {"not a terminal", Scene::plain, "Porta=null\n", "error", 1,
     "/dev/null opens but is not a terminal", 1},
    {"a path through a file", Scene::plain, "Porta=null/x\n", "error", 1,
     "/dev/null/x does not open: every command fails with \"erro abertura porta serial, codigo "
     "-1, errno 20 Not a directory\"",
     1},
    {"a link to itself", Scene::plain, "Porta=%L\n", "error", 1,
     "does not open: every command fails with \"erro abertura porta serial, codigo -1, errno 40 "
     "Too many levels of symbolic links\"",
     1},
    {"locked by another program", Scene::locked, "Porta=%P\n", "warning", 1,
     "is locked right now by another program, process %I (", 0},
    {"current settings", Scene::odd_settings, "Porta=%P\n", "ok", 1,
     // A pseudo-terminal keeps 8 bits without parity whatever it is given.
     "speed 1200 baud; cs8 -parenb -parodd cstopb -crtscts -clocal cread hupcl; -ignbrk brkint "
     "-inpck -istrip icrnl ixon -ixoff; opost onlcr; isig icanon echo; min = 1; time = 5",
     0},
    {"no modem lines", Scene::plain, "Porta=%P\n", "ok", 1,
     "The device has no modem lines, as a pseudo-terminal or a port carried over the network "
     "has none: whether the printer is ready cannot be told.",
     0},
    {"CTS on", Scene::modem, "Porta=%P\n", "ok", 1,
     "CTS is on (DSR on, DCD on): the printer takes bytes.", 0, 0,
     TIOCM_CTS | TIOCM_DSR | TIOCM_CAR},
    {"CTS off", Scene::modem, "Porta=%P\n", "warning", 1,
     "CTS is off (DSR on, DCD off): commands will wait until the printer takes the bytes.", 0, 0,
     TIOCM_DSR},
    {"modem lines unreadable", Scene::modem, "Porta=%P\n", "warning", 1,
     "The modem lines cannot be read (errno 5 Input/output error)", 0, EIO},
    {"ini a named pipe", Scene::ini_fifo, "", "error", 0, "tarvik.ini is a named pipe", 1},
    {"ini a device", Scene::ini_zero, "", "error", 0, "tarvik.ini is a character device", 1},
    {"layout not seven numbers", Scene::plain, "Porta=%P\n237 05,15,8\n", "error", 2,
     "Bank 237: the layout \"05,15,8\" is not seven two-digit numbers", 1},
    {"bank listed twice", Scene::plain,
     "Porta=%P\n237 05,15,08,06,06,05,05\n237 01,02,03,04,05,06,07\n", "warning", 3,
     "Bank 237 is listed again, ignored: its look-up stops at line 2", 0},
    {"earlier line holds the code", Scene::plain,
     "Porta=%P\n# bank 237\n237 05,15,08,06,06,05,05\n", "error", 3,
     "Line 2 holds 237 and comes first, so checks for bank 237 take the layout", 1},
};

// Each finding from a real file and, for the device, a real terminal: the
// finding's level and line in --json and in text, and the exit status. The
// doctor leaves the file and the line's settings as they were.
TEST(Doctor, EachFinding) {
    for (const DoctorCase &c : kDoctorCases) {
        SCOPED_TRACE(c.name);
        th::WorkDir dir;
        th::Pty pty;
        if (c.scene == Scene::odd_settings) pty.apply(th::odd_settings());
        termios before = pty.settings();
        std::string plain = dir.path() + "/plain", loop = dir.path() + "/loop";
        std::ofstream(plain).put('x');
        ASSERT_EQ(0, symlink("loop", loop.c_str()));
        auto fill = [&](const std::string &t) {
            std::string s = replace_all(replace_all(t, "%P", pty.name()), "%F", ".." + plain);
            return replace_all(replace_all(s, "%L", ".." + loop), "%I", std::to_string(getpid()));
        };
        std::string ini = fill(c.ini);
        std::string ini_path = dir.path() + "/tarvik.ini";
        bool odd_ini =
            c.scene == Scene::ini_fifo || c.scene == Scene::ini_zero || c.scene == Scene::ini_loop;
        if (c.scene == Scene::ini_fifo) {
            ASSERT_EQ(0, mkfifo(ini_path.c_str(), 0644));
        }
        if (c.scene == Scene::ini_zero || c.scene == Scene::ini_loop) {
            ASSERT_EQ(0, symlink(c.scene == Scene::ini_zero ? "/dev/zero" : "tarvik.ini",
                                 ini_path.c_str()));
        }
        if (c.scene != Scene::no_ini && !odd_ini) dir.write_ini(ini);
        if (c.scene == Scene::locked) {
            ASSERT_EQ(0, flock(pty.slave(), LOCK_EX | LOCK_NB));
        }
        // The findings as --json gives them, and the exit status.
        nlohmann::json findings = nlohmann::json::array();
        int status = -1;
        Outcome text;
        if (c.scene == Scene::modem) {
            doctor::Finding f = doctor::line_finding({c.modem_err, c.modem_bits}, c.line);
            findings.push_back({{"level", doctor::level_name(f.level)},
                                {"line", f.line},
                                {"message", f.message},
                                {"hint", f.hint}});
            status = doctor::exit_status({f});
        } else {
            std::function<void()> drop;
            // A doctor that waits or reads on is stopped soon: /dev/zero
            // fills the memory fast.
            if (odd_ini) drop = [] { alarm(3); };
            Outcome json = tarvik_print({"doctor", "--json"}, drop);
            text = tarvik_print({"doctor"}, drop);
            EXPECT_EQ(json.status, text.status) << json.out << json.err;
            status = json.status;
            std::istringstream lines(json.out);
            for (std::string l; std::getline(lines, l);)
                findings.push_back(nlohmann::json::parse(l));
        }
        EXPECT_EQ(c.status, status);

        std::string want = fill(c.message);
        bool found = false;
        for (const nlohmann::json &f : findings) {
            ASSERT_TRUE(f.contains("hint"));
            if (f["level"] == c.level &&
                (c.line == 0 ? f["line"].is_null() : f["line"] == c.line) &&
                f["message"].get<std::string>().find(want) != std::string::npos)
                found = true;
        }
        EXPECT_TRUE(found) << "wanted " << c.level << " line " << c.line << ": " << want
                           << "\ngot:\n"
                           << findings.dump(1);
        if (c.scene != Scene::modem) {
            std::string head = std::string(c.level) +
                               (c.line > 0 ? ", tarvik.ini line " + std::to_string(c.line) : "") +
                               ": ";
            EXPECT_NE(std::string::npos, text.out.find(head)) << text.out;
            EXPECT_NE(std::string::npos, text.out.find(want)) << text.out;
            if (*c.hint != '\0') {
                EXPECT_NE(std::string::npos, text.out.find(std::string("fix: ") + c.hint));
            }
        }

        if (c.scene == Scene::locked) flock(pty.slave(), LOCK_UN);
        th::expect_same_settings(pty.settings(), before);
        unlink(plain.c_str());
        unlink(loop.c_str());
        if (odd_ini) continue;
        std::ifstream after(dir.path() + "/tarvik.ini", std::ios::binary);
        std::string kept((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>());
        EXPECT_EQ(c.scene == Scene::no_ini ? "" : ini, kept);
    }
}

// What an unprivileged user is told where permissions stand in the way: a
// device that only its owner may use needs a udev rule, not its group; one
// that its group may use needs that group; one behind a directory the user
// may not enter needs neither; an unreadable tarvik.ini needs its permission
// mended.
TEST(Doctor, FindingsForAnUnprivilegedUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root, to drop to an unprivileged user";
    const struct {
        const char *name;
        mode_t device, ini;
        gid_t group;
        const char *message, *hint;
        bool closed = false; // named through a directory of root alone
    } cases[] = {
        {"device of root alone", 0600, 0644, 0, "No permission to read and write /dev/",
         "Its group \"root\" may not read and write it (mode 600, owner root), so joining "
         "that group gives no access. Give a group access with a udev rule"},
        {"device of a group", 0660, 0644, 20, "No permission to read and write /dev/",
         "Add the user that prints to the group that owns the device, \"dialout\""},
        {"device in a closed directory", 0660, 0644, 20, "No permission to read and write /dev/",
         "The user may not enter a directory on the way to /dev/", true},
        {"unreadable tarvik.ini", 0666, 0600, 0,
         "tarvik.ini is here but cannot be read (Permission denied)",
         "Let the user that prints read it: chmod a+r tarvik.ini"},
    };
    // The program and the library copied where that user may enter: the
    // build tree may be closed to it.
    namespace fs = std::filesystem;
    th::WorkDir copy;
    chmod(copy.path().c_str(), 0755);
    std::string program = copy.path() + "/tarvik-print", library = copy.path() + "/libtarvik.so.1";
    fs::copy_file(TARVIK_PRINT, program);
    fs::copy_file(TARVIK_LIBRARY, library);
    auto as_nobody = [&] {
        setenv("LD_LIBRARY_PATH", copy.path().c_str(), 1);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        th::WorkDir dir;
        th::Pty pty;
        std::string device = "/dev/" + pty.name();
        ASSERT_EQ(0, chown(device.c_str(), 0, c.group));
        ASSERT_EQ(0, chmod(device.c_str(), c.device));
        chmod(dir.path().c_str(), 0755);
        std::string port = pty.name(), closed = dir.path() + "/closed";
        if (c.closed) {
            ASSERT_EQ(0, mkdir(closed.c_str(), 0700));
            ASSERT_EQ(0, symlink(device.c_str(), (closed + "/printer").c_str()));
            port = ".." + closed + "/printer";
        }
        dir.write_ini("Porta=" + port + "\n");
        chmod((dir.path() + "/tarvik.ini").c_str(), c.ini);
        Outcome r = tarvik_print({"doctor"}, as_nobody, program);
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.out.find(c.message)) << r.out;
        EXPECT_NE(std::string::npos, r.out.find(std::string("    fix: ") + c.hint)) << r.out;
        fs::remove_all(closed);
    }
    unlink(program.c_str());
    unlink(library.c_str());
}

#ifdef TARVIK_PLAIN_BUILD
// The doctor finds the first line holding each bank's code in one pass: four
// times the lines take about four times as long, not sixteen.
TEST(Doctor, TimeGrowsWithTheLines) {
    th::WorkDir dir;
    // 95% comments without digits, 1% distinct banks, 4% one bank again and again.
    auto seconds = [&](int lines) {
        std::string ini = "Porta=nope9\n";
        for (int i = 0; i < lines; ++i) {
            char bank[32];
            std::snprintf(bank, sizeof bank, "%03d 05,15,08,06,06,05,05\n",
                          i % 100 == 0 ? i / 100 % 1000 : 999);
            ini += i % 100 == 0 || i % 25 == 0 ? bank : "# a comment that names no bank at all\n";
        }
        dir.write_ini(ini);
        double best = 1e9;
        for (int run = 0; run < 3; ++run) {
            auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(1, tarvik_print({"doctor", "--json"}).status);
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            best = std::min(best, took.count());
        }
        return best;
    };
    double small = seconds(25000), large = seconds(100000);
    EXPECT_LT(large / small, 8) << small << " s for 25,000 lines, " << large << " s for 100,000";
}
#endif

// ---- status -------------------------------------------------------------------

// What status finds on a pseudo-terminal, which has no modem lines, also
// while another process holds its lock (it names the holder and does not
// wait: a run that waited would be killed at the limit), and where the
// device is missing. It changes nothing.
TEST(Status, StateLinesAndHolder) {
    const char kNoLines[] = "/dev/%P has no modem lines, as a pseudo-terminal or a port carried "
                            "over the network has none: whether the printer is ready cannot be "
                            "told.";
    const struct {
        const char *name;
        bool locked;
        const char *ini, *state, *message; // %P: the pseudo-terminal's name
        int status;
    } cases[] = {
        {"a pseudo-terminal", false, "Porta=%P\n", "cannot_tell", kNoLines, 3},
        {"held by another process", true, "Porta=%P\n", "cannot_tell", kNoLines, 3},
        {"no device", false, "Porta=nope9\n", "no_port",
         "/dev/nope9 does not exist: every command fails with \"erro abertura porta serial, codigo "
         "-1, errno 2 No such file or directory\" and returns 0. Run tarvik-print doctor for how "
         "to mend it.",
         1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        th::WorkDir dir;
        th::Pty pty;
        termios before = pty.settings();
        dir.write_ini(replace_all(c.ini, "%P", pty.name()));
        if (c.locked) {
            ASSERT_EQ(0, flock(pty.slave(), LOCK_EX | LOCK_NB));
        }
        // --timeout has nothing to bound here, and is taken all the same.
        Outcome json = tarvik_print({"--timeout", "0.5", "status", "--json"}, nullptr, TARVIK_PRINT,
                                    std::chrono::seconds(5));
        Outcome text = tarvik_print({"status"}, nullptr, TARVIK_PRINT, std::chrono::seconds(5));
        if (c.locked) flock(pty.slave(), LOCK_UN);

        EXPECT_EQ(c.status, json.status) << json.err;
        EXPECT_EQ(c.status, text.status) << text.err;
        nlohmann::json got = nlohmann::json::parse(json.out), holder = nullptr;
        if (c.locked) holder = {{"pid", getpid()}, {"name", got["holder"]["name"]}};
        std::string message = replace_all(c.message, "%P", pty.name());
        EXPECT_EQ(nlohmann::json({{"state", c.state},
                                  {"device", c.status == 1 ? "/dev/nope9" : "/dev/" + pty.name()},
                                  {"cts", nullptr},
                                  {"dsr", nullptr},
                                  {"dcd", nullptr},
                                  {"holder", holder},
                                  {"message", message}}),
                  got);
        std::string locked = c.locked ? "locked by process " + std::to_string(getpid()) + " (" +
                                            got["holder"]["name"].get<std::string>() +
                                            "): commands wait until it lets go.\n"
                                      : "";
        EXPECT_EQ(replace_all(c.state, "_", " ") + ": " + message +
                      "\nlines: CTS unknown, DSR unknown, DCD unknown\n" + locked,
                  text.out);
        th::expect_same_settings(pty.settings(), before);
    }
}

// ---- The printing forms ---------------------------------------------------------

std::string check_bytes(const std::vector<std::string> &fields) {
    std::string all;
    for (std::size_t i = 0; i < fields.size(); ++i)
        all += "\x1B.590" + std::to_string(i + 1) + fields[i] + "}";
    return all;
}

struct FormCase {
    std::vector<std::string> args;
    std::string sent;
};

// --charset gives the code page's bytes, exactly, in every text of a form;
// and a negative count reaches the library as a count, not as an option.
TEST(Forms, CodePagesByteForByte) {
    const FormCase cases[] = {
        {{"lf", "-2"}, th::hex("00")},
        {{"--charset", "CP850", "text", "0", "N", "SÃO PAULO"},
         th::hex("1B 64 30 14 53 C7 4F 20 50 41 55 4C 4F 0A")},
        {{"--charset", "CP850", "back", "0", "N", "AÇÚCAR"},
         th::hex("1B 64 30 0D 00 14 20 20 41 80 E9 43 41 52 0A")},
        {{"--charset", "ISO-8859-1", "auth", "0", "N", "X", "SÃO PAULO"},
         th::hex("1B 58 1B 64 30 14 53 C3 4F 20 50 41 55 4C 4F 0A")},
        {{"--charset", "ISO-8859-1", "check", "AÇÚCAR", "", "1/2/2003", "5", "SÃO PAULO", "", "1"},
         check_bytes({"A\xC7\xDA"
                      "CAR",
                      "", "010203", "000000000005", "S\xC3O PAULO", "", "REAL", "REAIS",
                      "000S05150806060505"})},
    };
    for (const FormCase &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        th::WorkDir dir;
        th::Pty pty;
        dir.write_ini("Porta=" + pty.name() + "\n");
        Outcome r = tarvik_print(c.args);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.out);
        EXPECT_EQ(c.sent, pty.read(c.sent.size()));
    }
}

#ifdef TARVIK_VIRTUAL
// Every form through the virtual printer, from its own tarvik.ini: what the
// printer makes of the bytes, command by command.
TEST(Forms, EveryFormOnTheVirtualPrinter) {
    th::WorkDir dir;
    const std::string ini = "; printer\r\nPorta=ttyS0\r\n";
    dir.write_ini(ini);
    const std::vector<std::string> forms[] = {
        {"text", "5", "S", "ABC"},
        {"auth", "1", "S", "V", "X1"},
        {"back", "0", "N", "AB"},
        {"lf", "3"},
        {"back-side", "on"},
        {"back-side", "off"},
        {"check", "PAGUE", "JOSE", "15/03/2004", "1.234,56", "SAO PAULO", "-", "237"},
        {"--charset", "ISO-8859-1", "text", "0", "N", "SÃO PAULO"},
    };
    const char *events[] = {
        R"({"type":"front_text","pitch":"5","double":true,"width":45,"text":"ABC"})",
        R"({"type":"authentication","selector":"V","pitch":"1","double":true,"width":40,"text":"X1"})",
        R"({"type":"back_text","pitch":"0","double":false,"width":36,"text":"AB"})",
        R"({"type":"line_feed","count":3})",
        R"({"type":"back_side","on":true})",
        R"({"type":"back_side","on":false})",
        R"({"type":"check_field","field":"1","text":"PAGUE"})",
        R"({"type":"check_field","field":"2","text":"JOSE"})",
        R"({"type":"check_field","field":"3","text":"150304"})",
        R"({"type":"check_field","field":"4","text":"000000123456"})",
        R"({"type":"check_field","field":"5","text":"SAO PAULO"})",
        R"({"type":"check_field","field":"6","text":"-"})",
        R"({"type":"check_field","field":"7","text":"REAL"})",
        R"({"type":"check_field","field":"8","text":"REAIS"})",
        R"({"type":"check_field","field":"9","text":"000S05150806060505"})",
        R"({"type":"check","fields":["PAGUE","JOSE","150304","000000123456","SAO PAULO","-","REAL","REAIS","000S05150806060505"],"date":"15/03/04","amount":"000000123456","layout":"05150806060505"})",
        R"({"type":"front_text","pitch":"0","double":false,"width":40,"text":"SÃO PAULO"})",
    };
    // The printer names itself in the directory's tarvik.ini, ends after 16
    // commands (the check's summary is not one) and puts the port line back.
    // What it captured replays to the same lines.
    std::string capture = dir.path() + "/session.bin";
    th::Program printer(
        {TARVIK_VIRTUAL, "--json", "--count", "16", "--dir", dir.path(), "--capture", capture});
    std::string ready = printer.line();
    std::string port = nlohmann::json::parse(ready).value("port", "");
    EXPECT_EQ(R"({"type":"ready","device":"/dev/)" + port + R"(","port":")" + port + "\"}", ready);
    for (const std::vector<std::string> &args : forms) {
        Outcome r = tarvik_print(args);
        EXPECT_EQ(0, r.status) << args[0] << ": " << r.out << r.err;
        EXPECT_EQ("", r.out);
    }
    std::vector<std::string> lines = printer.rest();
    ASSERT_EQ(std::size(events), lines.size()); // and nothing more
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(nlohmann::json::parse(events[i]), nlohmann::json::parse(lines[i]));
    ASSERT_TRUE(printer.ends_within(10000));
    EXPECT_EQ(0, printer.wait());
    std::ifstream after(dir.path() + "/tarvik.ini", std::ios::binary);
    EXPECT_EQ(ini, std::string(std::istreambuf_iterator<char>(after), {}));
    th::Program replay({TARVIK_VIRTUAL, "--json", "--replay", capture});
    EXPECT_EQ(lines, replay.rest());
    EXPECT_EQ(0, replay.wait());
    unlink(capture.c_str());
}
#endif

// When the library gives 0, the exit status is 1 and its report stays on
// standard output; a text the code page cannot hold sends nothing at all.
TEST(Forms, FailuresExitWithOne) {
    th::WorkDir dir;
    th::Pty pty;
    dir.write_ini("Porta=" + pty.name() + "\n");
    Outcome date = tarvik_print({"check", "A", "B", "15//04", "1", "C", "D", "237"});
    EXPECT_EQ(1, date.status);
    EXPECT_EQ("data invalida", date.out);
    // A report whose reader has gone ends it by SIGPIPE, once the line is
    // back as it was.
    termios before = pty.settings();
    Outcome gone = tarvik_print({"check", "A", "B", "", "1", "C", "D", "237"}, [] {
        int p[2];
        if (pipe(p) != 0 || close(p[0]) != 0 || dup2(p[1], 1) != 1) _exit(126);
    });
    EXPECT_EQ(128 + SIGPIPE, gone.status);
    th::expect_same_settings(pty.settings(), before);

    Outcome lacking = tarvik_print({"--charset", "ISO-8859-1", "text", "0", "N", "AÇÚCAR €5"});
    EXPECT_EQ(1, lacking.status);
    EXPECT_EQ("tarvik-print: \"AÇÚCAR €5\": '€' (U+20AC) is not in ISO-8859-1; nothing was "
              "printed\n",
              lacking.err);
    // Nor one that the code page turns into a zero byte, which would cut it
    // short.
    Outcome zero = tarvik_print({"--charset", "UTF-16LE", "text", "0", "N", "AB"});
    EXPECT_EQ(1, zero.status);
    EXPECT_EQ("tarvik-print: \"AB\": UTF-16LE gives a zero byte, which would end the text; nothing "
              "was printed\n",
              zero.err);
    EXPECT_EQ("", pty.read(0));

    dir.write_ini("Porta=nope9\n");
    Outcome port = tarvik_print({"lf", "1"});
    EXPECT_EQ(1, port.status);
    EXPECT_EQ("erro abertura porta serial, codigo -1, errno 2 No such file or directory\r\n",
              port.out);
}

// Leaves the line with room for 8 more bytes, after which a write blocks.
// The kernel holds a terminal's output in buffers of 256 or 512 bytes and
// makes room a whole buffer at a time: so the line is filled until it takes
// nothing, 512 bytes read at the printer's end free exactly the buffers
// that a write of 256 bytes and one of 248 then take, all but 8 bytes.
void leave_room_for_eight(th::Pty &pty) {
    int fd = open(("/dev/" + pty.name()).c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string block(256, 'Z');
    auto burst = [&] {
        std::size_t n = 0;
        for (ssize_t put; (put = write(fd, block.data(), block.size())) > 0;)
            n += static_cast<std::size_t>(put);
        return n;
    };
    pollfd room{fd, POLLOUT, 0};
    // Full: nothing goes, no room comes for a while, and still nothing goes.
    while (burst() > 0 || poll(&room, 1, 200) > 0 || burst() > 0) {
    }
    char buf[512];
    for (std::size_t got = 0; got < sizeof buf;)
        got += static_cast<std::size_t>(
            std::max<ssize_t>(0, read(pty.master(), buf, sizeof buf - got)));
    for (std::size_t n : {256u, 248u}) {
        // The room comes as the kernel frees the buffers read, which poll
        // does not tell: a write takes all of n or nothing.
        ssize_t put = -1;
        for (int tries = 0; tries < 500 && put < 0; ++tries)
            if ((put = write(fd, block.data(), n)) < 0) poll(&room, 1, 10);
        ASSERT_EQ(static_cast<ssize_t>(n), put);
    }
    close(fd);
}

// --timeout ends the wait for another process's lock and the wait for the
// printer within a few ticks of its bound: exit status 124, standard output
// empty, the reason on standard error, and the line as it was. The printer's
// wait is the repeating timer's: the command's write takes 8 bytes and
// blocks, so the first signal only cuts it short and the library writes on.
// A signal that ends the program, sent once the line is set, ends that wait
// the same way before it takes its course.
TEST(Forms, TimeoutEndsEachWait) {
    const struct {
        const char *name;
        bool locked;
        int signal;         // sent in place of --timeout
        const char *reason; // %I: this process's id
    } cases[] = {
        {"another process holds the port", true, 0,
         "tarvik-print: --timeout 0.5 s ran out: /dev/%P is held by another program, process %I "
         "("},
        {"the printer takes no more", false, 0,
         "tarvik-print: --timeout 0.5 s ran out: the printer did not take the bytes (CTS "
         "unknown). The line was restored and the rest dropped.\n"},
        {"interrupted while the printer takes no more", false, SIGINT,
         "tarvik-print: Interrupt: the printer did not take the bytes (CTS unknown). The line "
         "was restored and the rest dropped.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        th::WorkDir dir;
        th::Pty pty;
        termios raw = pty.settings();
        cfmakeraw(&raw);
        pty.apply(raw);
        dir.write_ini("Porta=" + pty.name() + "\n");
        if (c.locked) {
            ASSERT_EQ(0, flock(pty.slave(), LOCK_EX | LOCK_NB));
        } else {
            leave_room_for_eight(pty);
        }
        std::vector<std::string> args = {"text", "0", "N", "WAITS FOR THE PRINTER"};
        if (c.signal == 0) args.insert(args.begin(), {"--timeout", "0.5"});
        auto send = [&](pid_t pid) {
            if (c.signal == 0) return;
            // The printer's settings on the line: the port is held.
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while ((pty.settings().c_cflag & CRTSCTS) == 0 &&
                   std::chrono::steady_clock::now() < until)
                poll(nullptr, 0, 1);
            kill(pid, c.signal);
        };
        auto start = std::chrono::steady_clock::now();
        // SIGALRM blocked, as a parent may leave it: the timer is tarvik-print's own.
        auto block_alarm = [] {
            sigset_t alarm;
            sigemptyset(&alarm);
            sigaddset(&alarm, SIGALRM);
            sigprocmask(SIG_BLOCK, &alarm, nullptr);
        };
        Outcome r = tarvik_print(args, block_alarm, TARVIK_PRINT, std::chrono::seconds(10), send);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(c.signal == 0 ? 124 : 128 + c.signal, r.status);
        EXPECT_EQ("", r.out);
        std::string reason =
            replace_all(replace_all(c.reason, "%P", pty.name()), "%I", std::to_string(getpid()));
        EXPECT_EQ(0u, r.err.find(reason)) << r.err;
        if (c.signal == 0) {
            EXPECT_GE(took.count(), 0.5);
        }
        EXPECT_LT(took.count(), 3);
        th::expect_same_settings(pty.settings(), raw);
        if (c.locked) {
            EXPECT_EQ("", pty.read(0)); // nothing was sent
        }
    }
}

// Wrong arguments: one line, then the usage, exit status 1, and the library
// is never called (it would report the missing tarvik.ini on stdout). Where
// a row gives the line, it names what is wrong: the option as given, an
// empty code page.
TEST(Forms, WrongArgumentsNeverReachThePort) {
    const struct {
        std::vector<std::string> args;
        const char *line = "";
    } cases[] = {
        {{}},
        {{"print"}},
        {{"--bogus", "lf", "1"}},
        {{"--charset"}},
        {{"--charset", "NO-SUCH-PAGE", "text", "0", "N", "x"}},
        {{"--json", "lf", "1"}},
        {{"--charset", "CP850", "doctor"}},
        {{"doctor", "extra"}},
        {{"check", "A", "B", "15/03/2004", "1", "C", "D"}},
        {{"text", "0", "N"}},
        {{"text", "A", "N", "x"}},
        {{"text", "0", "D", "x"}},
        {{"back", "00", "N", "x"}},
        {{"auth", "0", "N", "Q", "x"}},
        {{"lf"}},
        {{"lf", "3x"}},
        {{"lf", "99999999999"}},
        {{"back-side", "maybe"}},
        {{"--timeout"}},
        {{"--timeout", "0", "lf", "1"}},
        {{"--timeout", "-1", "lf", "1"}},
        {{"--timeout", "abc", "lf", "1"}},
        {{"--timeout", "inf", "lf", "1"}},
        {{"--timeout", "nan", "lf", "1"}},
        {{"status", "--timeout", "1"}},
        {{"-xy", "lf", "1"}, "tarvik-print: unknown option \"-x\""},
        {{"--charset=", "lf", "1"}, "tarvik-print: unknown character set \"\""},
        {{"--timeout", "1e3", "lf", "1"},
         "tarvik-print: --timeout takes a number of seconds above 0, such as 0.5 or 30, not "
         "\"1e3\""},
    };
    th::WorkDir dir;
    for (const auto &c : cases) {
        std::string all;
        for (const std::string &a : c.args)
            all += a + " ";
        SCOPED_TRACE(all);
        Outcome r = tarvik_print(c.args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(0u, r.err.rfind("tarvik-print: ", 0)) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("\nUsage: tarvik-print")) << r.err;
        if (*c.line != '\0') {
            EXPECT_EQ(c.line, r.err.substr(0, r.err.find('\n')));
        }
    }
}

TEST(Forms, HelpShowsEveryFormWithAnExample) {
    Outcome r = tarvik_print({"--help"});
    EXPECT_EQ(0, r.status);
    for (const char *form :
         {"check TEXT1 TEXT2 DATE AMOUNT TEXT5 TEXT6 BANK", "text PITCH FLAG TEXT",
          "auth PITCH FLAG SELECTOR TEXT", "back PITCH FLAG TEXT", "lf N", "back-side on|off",
          "status [--json]", "doctor [--json]", "--charset NAME", "--timeout SECONDS"})
        EXPECT_NE(std::string::npos, r.out.find(form)) << form;
    for (const char *example : {"tarvik-print check ", "tarvik-print text ", "tarvik-print auth ",
                                "tarvik-print back ", "tarvik-print lf ", "tarvik-print back-side ",
                                "tarvik-print status", "tarvik-print doctor"})
        EXPECT_NE(std::string::npos, r.out.find(example)) << example;
}

} // namespace
