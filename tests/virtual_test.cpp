// tarvik-virtual as a program: it names its pseudo-terminal in tarvik.ini,
// stops on a signal, and puts back the port line of tarvik.ini. One runs in a
// directory at a time, a killed one is undone by the next, and tarvik.ini is
// never seen half-written. What it reports of another process's commands,
// its --count and its --capture are print_test's, through tarvik-print.
#include "support/api.h"
#include "support/harness.h"

#include <gtest/gtest.h>
#ifdef TARVIK_HAVE_CAIRO
#include <cairo.h>
#endif

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

bool read_file(const std::string &path, std::string &data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    data = s.str();
    return true;
}

// The tarvik.ini in dir, or "(none)".
std::string ini_in(const std::string &dir) {
    std::string data;
    return read_file(dir + "/tarvik.ini", data) ? data : "(none)";
}

// "pts/N" from the ready line in either form.
std::string port_of(const std::string &ready) {
    std::size_t at = ready.find("pts/");
    return at == std::string::npos ? "" : ready.substr(at, ready.find_first_of("\") ", at) - at);
}

// tarvik-virtual on dir with more arguments, its standard error on its
// output (standard output in out_file, if given), once its first line has
// come: port is "" unless that line is the ready one.
struct Virtual : th::Program {
    Virtual(const std::string &dir, std::vector<std::string> more = {},
            const std::string &out_file = "")
        : th::Program(with_dir(dir, std::move(more)), true, out_file) {}
    static std::vector<std::string> with_dir(const std::string &dir,
                                             std::vector<std::string> more) {
        more.insert(more.begin(), {TARVIK_VIRTUAL, "--dir", dir});
        return more;
    }
    // Ends it with sig; its exit status.
    int stop(int sig = SIGTERM) {
        signal(sig);
        return wait();
    }
    std::string first = line(), port = port_of(first);
};

// A line of text on the front, 45 bytes.
const std::string kFrontLine = th::hex("1B 64 30 14") + std::string(40, 'x') + "\n";

// tarvik.ini before the printer runs, while it runs ("{P}" stands for its
// port), what else changes meanwhile, and what it says at the end ("{D}" is
// the directory). Only its port line is undone: the file ends as it was
// before plus what was added meanwhile. The new file that replaces one that
// was there keeps its owner, group and mode (a root-run printer on a user's
// file) and its extended attributes, as an access control list travels.
struct IniCase {
    const char *name;
    bool exists;
    std::string before, during;
    std::string added = ""; // appended meanwhile
    bool removed = false;   // removed meanwhile
    std::string said = "";  // on standard error at the end
};

TEST(VirtualPrinter, RewritesOnlyThePortEntryAndPutsItsLineBack) {
    const std::string banks = "237 06,14,08,06,06,05,05\r\n001 05,15,08,06,06,05,05\r\n";
    const IniCase cases[] = {
        {"no file", false, "", "Porta={P}\n"},
        {"empty file", true, "", "Porta={P}\n"},
        {"CR LF lines and banks", true, "; printer\r\nPorta=ttyS0\r\n" + banks,
         "; printer\r\nPorta={P}\r\n" + banks},
        {"no port entry, CR LF", true, banks, "Porta={P}\r\n" + banks},
        {"key inside the last line, no line end", true, "237 06\nx Porta=ttyS0 ; old",
         "237 06\nPorta={P}"},
        {"the first entry only", true, "Porta=a\n\nPorta=b\n", "Porta={P}\n\nPorta=b\n"},
        {"a bank line added meanwhile", true, "Porta=ttyS0\n237 06\n", "Porta={P}\n237 06\n",
         "341 06,14,08,06,06,05,05\n"},
        {"made, and a line added meanwhile", false, "", "Porta={P}\n", "341 06\n"},
        {"removed meanwhile", true, "Porta=ttyS0\n", "Porta={P}\n", "", true,
         "tarvik-virtual: {D}/tarvik.ini is gone; it is left so"},
    };
    int n = 0;
    for (const IniCase &c : cases) {
        SCOPED_TRACE(c.name);
        th::WorkDir dir;
        std::string path = dir.path() + "/tarvik.ini";
        struct stat before {
        }, after{};
        bool attributes = false;
        if (c.exists) {
            dir.write_ini(c.before);
            attributes = setxattr(path.c_str(), "user.tarvik", "kept", 4, 0) == 0;
            if (geteuid() == 0) {
                ASSERT_EQ(0, chown(path.c_str(), 65534, 65534));
            }
            ASSERT_EQ(0, chmod(path.c_str(), 0640));
            ASSERT_EQ(0, stat(path.c_str(), &before));
        }
        Virtual v(dir.path());
        ASSERT_FALSE(v.port.empty());
        std::string want = c.during;
        want.replace(want.find("{P}"), 3, v.port);
        EXPECT_EQ(want, ini_in(dir.path()));
        std::ofstream(path, std::ios::binary | std::ios::app) << c.added;
        if (c.removed) unlink(path.c_str());
        v.signal(++n % 2 ? SIGTERM : SIGINT);
        std::string said = c.said;
        if (!said.empty()) said.replace(said.find("{D}"), 3, dir.path());
        EXPECT_EQ(said, v.line());
        EXPECT_EQ(0, v.wait());
        bool kept = c.exists ? !c.removed : !c.added.empty();
        EXPECT_EQ(kept ? c.before + c.added : "(none)", ini_in(dir.path()));
        if (!c.exists || c.removed) continue;
        ASSERT_EQ(0, stat(path.c_str(), &after));
        EXPECT_EQ(std::tie(before.st_mode, before.st_uid, before.st_gid),
                  std::tie(after.st_mode, after.st_uid, after.st_gid));
        char value[8] = {};
        EXPECT_EQ(attributes ? 4 : -1, getxattr(path.c_str(), "user.tarvik", value, sizeof value));
    }
}

// Started at the same moment in one directory, one printer runs. The others
// refuse, name it and touch nothing; it puts tarvik.ini back when it ends.
TEST(VirtualPrinter, OneOfThreeStartedAtOnceRuns) {
    th::WorkDir dir;
    dir.write_ini("Porta=ttyS0\n");
    std::vector<std::string> args = {TARVIK_VIRTUAL, "--dir", dir.path()};
    th::Program a(args, true), b(args, true), c(args, true);
    std::vector<std::pair<th::Program *, std::string>> started = {
        {&a, a.line()}, {&b, b.line()}, {&c, c.line()}};
    auto runs = [](const auto &p) { return !port_of(p.second).empty(); };
    ASSERT_EQ(1, std::count_if(started.begin(), started.end(), runs));
    th::Program *runner = std::find_if(started.begin(), started.end(), runs)->first;
    for (auto &[program, first] : started) {
        if (program == runner) continue;
        EXPECT_EQ("tarvik-virtual: another tarvik-virtual, process " +
                      std::to_string(runner->pid()) + ", runs in " + dir.path() +
                      " and points its tarvik.ini at itself; this one does not start",
                  first);
        EXPECT_EQ(2, program->wait());
    }
    runner->signal(SIGTERM);
    EXPECT_EQ(0, runner->wait());
    EXPECT_EQ("Porta=ttyS0\n", ini_in(dir.path()));
}

// Where tarvik.ini is a link, the file it names is one printer's at a time,
// from whichever directory a printer starts on it.
TEST(VirtualPrinter, OneRunsOnAFileThatLinksName) {
    th::WorkDir dir;
    for (const char *sub : {"/a", "/b", "/etc"})
        ASSERT_EQ(0, mkdir((dir.path() + sub).c_str(), 0755));
    std::ofstream(dir.path() + "/etc/tarvik.ini") << "Porta=ttyS0\n";
    for (const char *link : {"/a/tarvik.ini", "/b/tarvik.ini"})
        ASSERT_EQ(0, symlink("../etc/tarvik.ini", (dir.path() + link).c_str()));
    Virtual a(dir.path() + "/a");
    ASSERT_NE("", a.port);
    for (const char *other : {"/b", "/etc"}) {
        Virtual b(dir.path() + other);
        EXPECT_NE(std::string::npos, b.first.find(", process " + std::to_string(a.pid()) + ","));
        ASSERT_TRUE(b.ends_within(10000));
        EXPECT_EQ(2, b.wait());
    }
    EXPECT_EQ(0, a.stop());
    EXPECT_EQ("Porta=ttyS0\n", ini_in(dir.path() + "/etc"));
    for (const char *sub : {"/a", "/b", "/etc"})
        std::filesystem::remove_all(dir.path() + sub);
}

// A reader of a long tarvik.ini, while the printer starts and ends again and
// again, reads the whole file as it was or the whole file naming the
// printer, never a mix of the two.
TEST(VirtualPrinter, AReaderSeesOneWholeVersion) {
    th::WorkDir dir;
    std::string rest;
    for (int i = 0; i < 50000; ++i)
        rest += "; a comment line that names no bank and no port\n";
    rest += "237 06,14,08,06,06,05,05\n";
    dir.write_ini("Porta=ttyS0\n" + rest);
    std::atomic<bool> done{false};
    int reads = 0, torn = 0;
    std::thread reader([&] {
        for (std::string now; !done; ++reads) {
            bool whole = read_file(dir.path() + "/tarvik.ini", now);
            std::size_t lf = now.find('\n');
            std::string port = now.substr(0, lf);
            whole = whole && lf != std::string::npos &&
                    now.compare(lf + 1, std::string::npos, rest) == 0 &&
                    (port == "Porta=ttyS0" || port.compare(0, 10, "Porta=pts/") == 0);
            torn += !whole;
        }
    });
    for (int i = 0; i < 20; ++i) {
        Virtual v(dir.path());
        EXPECT_NE("", v.port);
        EXPECT_EQ(0, v.stop());
    }
    done = true;
    reader.join();
    EXPECT_EQ(0, torn) << "of " << reads << " reads";
}

// A printer ended by SIGKILL, or one that finds tarvik.ini unreadable at its
// end (a link to /proc/self/mem reads as EIO, even for root), leaves its port
// line in tarvik.ini. The next start puts the original line back first and
// says so.
TEST(VirtualPrinter, TheNextStartUndoesAKilledOne) {
    for (bool killed : {true, false}) {
        SCOPED_TRACE(killed ? "killed" : "unreadable at its end");
        th::WorkDir dir;
        const std::string ini = "; printer\nPorta=ttyS0\n237 06,14,08,06,06,05,05\n";
        const std::string path = dir.path() + "/tarvik.ini", aside = path + ".aside";
        dir.write_ini(ini);
        Virtual first(dir.path());
        ASSERT_NE("", first.port);
        pid_t pid = first.pid();
        if (killed) {
            first.stop(SIGKILL);
        } else {
            ASSERT_EQ(0, rename(path.c_str(), aside.c_str()));
            ASSERT_EQ(0, symlink("/proc/self/mem", path.c_str()));
            first.signal(SIGTERM);
            EXPECT_EQ("tarvik-virtual: cannot read " + path +
                          ": Input/output error; the next start puts the port line back",
                      first.line());
            EXPECT_EQ(2, first.wait());
            ASSERT_EQ(0, rename(aside.c_str(), path.c_str()));
        }
        Virtual next(dir.path());
        EXPECT_EQ("tarvik-virtual: process " + std::to_string(pid) +
                      " ended here without putting tarvik.ini back; put back the port line of " +
                      path + ": Porta=ttyS0",
                  next.first);
        EXPECT_NE("", port_of(next.line()));
        EXPECT_EQ(0, next.stop());
        EXPECT_EQ(ini, ini_in(dir.path()));
    }
}

// What stops the printer with status 2 and its reason: at the start, before
// it touches anything, a tarvik.ini that is no file (nor written through, nor
// removed, where it is a link to none), an output that is tarvik.ini however
// it is spelled, an output that cannot be made; at the end, an output that
// could not be written ("{D}" is the directory).
struct Refusal {
    const char *name;
    std::string ini;  // "fifo": a named pipe; "dangling": a link to no file
    const char *args; // separated by spaces
    std::string said;
    const char *out = ""; // where standard output goes, if given
};

// What an option that draws with cairo says: said, or, in a build without
// cairo, that it is not built in.
std::string drawn([[maybe_unused]] const char *option, [[maybe_unused]] const std::string &said) {
#ifdef TARVIK_HAVE_CAIRO
    return said;
#else
    return std::string(option) + " is not built in: this tarvik-virtual was built without cairo";
#endif
}

TEST(VirtualPrinter, RefusesWhatItCannotDoAndSaysWhy) {
    const char *kFull = "cannot write /dev/full: No space left on device";
    const std::string kRewrites = "{D}/tarvik.ini, which the printer rewrites while it runs";
    // Line feeds for a front past 8,388,607 points, the tallest page that
    // cairo draws, and so past a PNG's 32,767 pixels too.
    std::string tall;
    for (int i = 0; i < 38130; ++i)
        tall += std::string(10, '\n') + '\0';
    const Refusal cases[] = {
        {"tarvik.ini a named pipe", "fifo", "",
         "{D}/tarvik.ini is a named pipe, not a regular file"},
        {"tarvik.ini a link to no file", "dangling", "",
         "{D}/tarvik.ini is a link that leads to no file (No such file or directory)"},
        {"capture into tarvik.ini", "x\n", "--capture ./tarvik.ini",
         "./tarvik.ini is " + kRewrites},
        {"picture through a link to it", "x\n", "--svg link.ini", "link.ini is " + kRewrites},
        {"PNG into tarvik.ini", "x\n", "--png ./tarvik.ini",
         drawn("--png", "./tarvik.ini is " + kRewrites)},
        {"capture into the lock file", "x\n", "--capture .tarvik-virtual.lock",
         ".tarvik-virtual.lock is {D}/.tarvik-virtual.lock, which the printer rewrites while it "
         "runs"},
        {"PDF into the lock file", "x\n", "--pdf .tarvik-virtual.lock",
         drawn("--pdf", ".tarvik-virtual.lock is {D}/.tarvik-virtual.lock, which the printer "
                        "rewrites while it runs")},
        {"picture into the new tarvik.ini", "x\n", "--svg .tarvik.ini.tarvik-virtual",
         ".tarvik.ini.tarvik-virtual is {D}/.tarvik.ini.tarvik-virtual, which the printer "
         "rewrites while it runs"},
        {"an empty path", "x\n", "--replay=", "--replay takes a path, not an empty one"},
        {"an empty PDF path", "x\n", "--pdf=", "--pdf takes a path, not an empty one"},
        {"capture and picture in one file", "x\n", "--capture session.bin --svg ./session.bin",
         "--capture and --svg name one file, ./session.bin"},
        {"a replay drawn over itself", "x\n", "--replay tarvik.ini --svg ./tarvik.ini",
         "--replay and --svg name one file, ./tarvik.ini"},
        {"capture in no directory", "x\n", "--capture none/session.bin",
         "cannot write none/session.bin: No such file or directory"},
        {"capture that fills up", "x\n", "--capture /dev/full", kFull},
        {"picture that fills up", "x\n", "--svg /dev/full", kFull},
        {"picture of a replay that fills up", "x\n", "--replay /dev/null --svg /dev/full", kFull},
        {"PNG that fills up", "x\n", "--replay /dev/null --png /dev/full", drawn("--png", kFull)},
        {"PNG taller than cairo draws", tall, "--replay tarvik.ini --png session.bin",
         drawn("--png", "cannot write session.bin: at 2 pixels per point the picture is 16777368 "
                        "pixels tall, and cairo draws at most 32767"),
         "/dev/null"},
        {"PDF page taller than cairo draws", tall, "--replay tarvik.ini --pdf session.bin",
         drawn("--pdf", "cannot write session.bin: a sheet of the picture is 8388684 points tall, "
                        "and cairo draws pages of at most 8388607"),
         "/dev/null"},
        {"standard output that fills up", "x\n", "--replay tarvik.ini",
         "cannot write standard output: No space left on device", "/dev/full"},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.name);
        th::WorkDir dir;
        std::string ini = dir.path() + "/tarvik.ini", link = dir.path() + "/link.ini";
        const std::string &kind = c.ini;
        if (kind == "fifo")
            ASSERT_EQ(0, mkfifo(ini.c_str(), 0644));
        else if (kind == "dangling")
            ASSERT_EQ(0, symlink("elsewhere.ini", ini.c_str()));
        else
            dir.write_ini(c.ini);
        ASSERT_EQ(0, symlink("tarvik.ini", link.c_str()));
        std::vector<std::string> args;
        std::istringstream more(c.args);
        for (std::string a; more >> a;)
            args.push_back(a);
        Virtual v(dir.path(), args, c.out);
        std::string line = v.first;
        if (!v.port.empty()) {
            // It runs: a command for the capture, then the end.
            int fd = open(("/dev/" + v.port).c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
            EXPECT_EQ(1, write(fd, "", 1));
            close(fd);
            v.signal(SIGTERM);
            std::vector<std::string> rest = v.rest();
            line = rest.empty() ? "" : rest.back();
        }
        std::string said = "tarvik-virtual: " + c.said;
        if (said.find("{D}") != std::string::npos) said.replace(said.find("{D}"), 3, dir.path());
        EXPECT_EQ(said, line);
        EXPECT_EQ(2, v.wait());
        if (kind == "dangling") {
            char to[64] = {};
            EXPECT_EQ(13, readlink(ini.c_str(), to, sizeof to - 1)) << to;
            EXPECT_NE(0, access((dir.path() + "/elsewhere.ini").c_str(), F_OK));
        } else if (kind != "fifo") {
            EXPECT_EQ(c.ini, ini_in(dir.path()));
        }
        EXPECT_NE(0, access((dir.path() + "/.tarvik-virtual.lock").c_str(), F_OK));
        unlink(link.c_str());
        unlink((dir.path() + "/session.bin").c_str());
    }
}

#ifdef TARVIK_HAVE_CAIRO
// The demo's PNG: 2 pixels per point, the background, each sheet's paper,
// and the first front line's ink, stretched to its pitch's 16 points a
// character (28 of them, from x 20).
void expect_demo_png(const char *file) {
    cairo_surface_t *image = cairo_image_surface_create_from_png(file);
    ASSERT_EQ(CAIRO_STATUS_SUCCESS, cairo_surface_status(image));
    EXPECT_EQ(1720, cairo_image_surface_get_width(image));
    EXPECT_EQ(1276, cairo_image_surface_get_height(image));
    auto pixel = [&](double x, double y) {
        const unsigned char *row = cairo_image_surface_get_data(image) +
                                   static_cast<int>(y * 2) * cairo_image_surface_get_stride(image);
        return reinterpret_cast<const uint32_t *>(row)[static_cast<int>(x * 2)] & 0xffffff;
    };
    EXPECT_EQ(0xf4f4f4u, pixel(1, 1));
    EXPECT_EQ(0xfffef8u, pixel(300, 150));
    EXPECT_EQ(0xeef6f0u, pixel(100, 466));
    EXPECT_EQ(0xfffef8u, pixel(300, 610));
    double right = 0;
    for (double y = 52; y < 64; y += 0.5)
        for (double x = 20; x < 660; x += 0.5)
            if ((pixel(x, y) & 0xff) < 0x60) right = std::max(right, x);
    EXPECT_GT(right, 458);
    EXPECT_LE(right, 468);
    cairo_surface_destroy(image);
}
#endif

// The demo's session replayed, one row per format: the SVG byte for byte as
// it was drawn before PNG and PDF came; the PNG; the PDF a page per sheet,
// as the SVG draws them: the front, the check, the back.
TEST(VirtualPrinter, DrawsTheDemoSessionInEachFormat) {
    std::string svg;
    ASSERT_TRUE(read_file(TARVIK_SOURCE "/docs/session.svg", svg));
    const struct {
        const char *option;
        std::function<void(const std::string &)> expect;
    } rows[] = {
        {"--svg", [&](const std::string &drawn) { EXPECT_EQ(svg, drawn); }},
#ifdef TARVIK_HAVE_CAIRO
        {"--png", [](const std::string &) { expect_demo_png("picture"); }},
        {"--pdf",
         [](const std::string &pdf) {
             std::vector<std::string> pages;
             for (std::size_t at = 0; (at = pdf.find("/MediaBox [ ", at)) != std::string::npos;) {
                 at += 12;
                 pages.push_back(pdf.substr(at, pdf.find(" ]", at) - at));
             }
             EXPECT_EQ((std::vector<std::string>{"0 0 860 216", "0 0 860 310", "0 0 860 152"}),
                       pages);
         }},
#endif
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.option);
        th::WorkDir dir;
        th::Program v({TARVIK_VIRTUAL, "--replay", TARVIK_SOURCE "/tests/demo-session.bin",
                       row.option, "picture"},
                      true, "/dev/null");
        EXPECT_EQ("", v.line());
        EXPECT_EQ(0, v.wait());
        std::string drawn;
        EXPECT_TRUE(read_file(dir.path() + "/picture", drawn));
        row.expect(drawn);
        unlink((dir.path() + "/picture").c_str());
    }
}

// A reader that has stopped reading, of standard output, of a capture or of
// the picture written at the end, does not keep the printer from ending on a
// signal (for the picture, a second one) and putting tarvik.ini back, nor
// does one that the printer finds stuck only after the signal, with the
// stream already waiting on the line. An output so cut short is said to be.
TEST(VirtualPrinter, EndsOnASignalWhileItsReaderIsStuck) {
    const struct {
        const char *option;
        bool idle; // the signal comes while the printer waits for the line
    } cases[] = {{"", false}, {"--capture", false}, {"--capture", true}, {"--svg", false}};
    for (const auto &c : cases) {
        const char *option = c.option;
        SCOPED_TRACE(std::string(option) + (c.idle ? " idle" : ""));
        bool output = *option == '\0', picture = std::string(option) == "--svg";
        th::WorkDir dir;
        dir.write_ini("x=1\n");
        std::string fifo = dir.path() + "/out";
        ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
        // Small, and not read: it holds the printer up long before its output.
        int stuck = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        fcntl(stuck, F_SETPIPE_SZ, 4096);
        Virtual v(dir.path(),
                  output ? std::vector<std::string>{} : std::vector<std::string>{option, fifo});
        ASSERT_FALSE(v.port.empty());
        int fd = open(("/dev/" + v.port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        // Lines until the printer takes no more for a while: it is held up
        // writing, or, stopped, has not read them yet.
        if (c.idle) v.signal(SIGSTOP);
        std::string lines;
        for (int i = 0; i < 64; ++i)
            lines += kFrontLine;
        for (pollfd p{fd, POLLOUT, 0}; poll(&p, 1, 2000) == 1;)
            if (write(fd, lines.data(), lines.size()) < 0 && errno != EAGAIN) break;
        v.signal(SIGTERM);
        if (c.idle) v.signal(SIGCONT);
        if (picture) {
            // Once the picture is under way, the second signal.
            pollfd p{stuck, POLLIN, 0};
            char some[64];
            ASSERT_EQ(1, poll(&p, 1, 10000));
            EXPECT_LT(0, read(stuck, some, sizeof some));
            v.signal(SIGTERM);
        }
        // What it says then comes on the output, which is read on from here.
        std::vector<std::string> rest;
        if (!output) rest = v.rest();
        ASSERT_TRUE(v.ends_within(10000));
        EXPECT_EQ(output ? 0 : 2, v.wait());
        if (!output) {
            // Cut output may end anywhere in a line.
            std::string said = "tarvik-virtual: cannot write " + fifo + ": Interrupted system call";
            ASSERT_FALSE(rest.empty());
            EXPECT_NE(std::string::npos, rest.back().find(said)) << rest.back();
        }
        EXPECT_EQ("x=1\n", ini_in(dir.path()));
        close(fd);
        close(stuck);
        unlink(fifo.c_str());
    }
}

// After --count commands the printer waits until the application has let
// the port go, so that the last command's close, which restores the line,
// never finds the line hung up under it.
TEST(VirtualPrinter, EndsAfterItsCountOnceThePortIsLetGo) {
    th::WorkDir dir;
    Virtual v(dir.path(), {"--count", "1"});
    ASSERT_FALSE(v.port.empty());
    int fd = serial_open();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(1, tarvlf(1)); // its last command, inside the hold
    EXPECT_NE("", v.line());
    EXPECT_FALSE(v.ends_within(300));
    char probe[] = "\n";
    EXPECT_EQ(1, serial_putn(fd, probe, 1)); // the line is still there
    EXPECT_EQ(0, serial_close(fd));
    ASSERT_TRUE(v.ends_within(5000));
    EXPECT_EQ(0, v.wait());
}

#ifdef TARVIK_PLAIN_BUILD
// A replay is read and decoded in pieces: its peak memory does not grow with
// the length of the stream.
TEST(VirtualPrinter, ReplayMemoryStaysFlat) {
    th::WorkDir dir;
    std::string stream = dir.path() + "/stream.bin";
    auto peak_kib = [&](std::size_t mib) {
        // Written a line at a time: the program's peak counts this process's
        // memory from before its start.
        std::ofstream out(stream, std::ios::binary);
        for (std::size_t size = 0; size < mib << 20; size += kFrontLine.size())
            out << kFrontLine;
        out.close();
        th::Program v({TARVIK_VIRTUAL, "--replay", stream});
        while (!v.line().empty()) {
        }
        EXPECT_EQ(0, v.wait());
        return v.max_rss_kib();
    };
    long small = peak_kib(4), large = peak_kib(32);
    EXPECT_LT(large - small, 4096) << small << " KiB for 4 MiB, " << large << " KiB for 32 MiB";
    unlink(stream.c_str());
}
#endif

} // namespace
