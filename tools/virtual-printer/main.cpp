// tarvik-virtual: plays the printer on a pseudo-terminal, names it in
// tarvik.ini, and shows each command the library sends it.
#include "charset.h"
#include "decoder.h"
#include "failure.h"
#include "files.h"
#include "format.h"
#include "instance.h"
#include "svg.h"
#ifdef TARVIK_HAVE_CAIRO
#include "png_pdf.h"
#endif

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    std::string dir = ".";
    bool json = false;
    bool hex = false;
    std::string charset = "LATIN1";
    std::string capture;
    std::string replay;
    std::string svg, png, pdf;
    long count = 0; // 0: no limit
};

const char kUsage[] =
    "usage: tarvik-virtual [--dir DIR] [--json] [--hex] [--charset NAME] [--capture FILE]\n"
    "                      [--svg FILE] [--png FILE] [--pdf FILE] [--count N]\n"
    "       tarvik-virtual --replay FILE [--json] [--hex] [--charset NAME]\n"
    "                      [--svg FILE] [--png FILE] [--pdf FILE]\n"
    "Plays the printer on a pseudo-terminal named in DIR/tarvik.ini (default: the\n"
    "current directory), and prints one line per command it receives.\n";

// The stream is read and decoded in pieces of this size, live and in a
// replay alike, so that memory stays flat however long the stream is.
const std::size_t kChunk = 4096;

volatile sig_atomic_t stop_signal = 0;
volatile sig_atomic_t signals_in = 0; // how many have come

void on_signal(int sig) {
    stop_signal = sig;
    signals_in = signals_in + 1;
}

// A Failure ends the program with status 2 and its reason, once what is open
// is closed.
void say(const std::string &what) {
    std::fprintf(stderr, "tarvik-virtual: %s\n", what.c_str());
}

// Writes all of data (files::write_all). With open, the mask under which the
// ending signals come in, they come in meanwhile, and once more of them than
// ignored have come the write no longer waits for its reader: one that is
// waiting then is broken off, and what cannot go at once is not written. So
// a reader that has stopped reading cannot hold the program. False with
// errno set: EINTR when a signal cut the write short.
bool write_out(int fd, const char *data, std::size_t size, const sigset_t *open = nullptr,
               sig_atomic_t ignored = 0) {
    sigset_t held;
    if (open != nullptr) sigprocmask(SIG_SETMASK, open, &held);
    bool ok =
        files::write_all(fd, data, size, [&] { return open != nullptr && signals_in > ignored; });
    int err = errno;
    if (open != nullptr) sigprocmask(SIG_SETMASK, &held, nullptr);
    errno = err;
    return ok;
}

// Standard output, written a batch of lines at a time.
class Output {
  public:
    // open: the signal mask under which the ending signals come in, or null
    // when none is handled.
    explicit Output(const sigset_t *open = nullptr) : open_(open) {}

    void line(const std::string &s) {
        if (cut_) return;
        pending_ += s;
        pending_ += '\n';
    }

    // A reader that stops reading must not keep the session from ending:
    // once an ending signal has come, output that cannot go at once is
    // dropped. So is output to a reader that has gone; any other failure to
    // write is kept for the end.
    void flush() {
        if (pending_.empty()) return;
        std::string s;
        s.swap(pending_);
        if (write_out(1, s.data(), s.size(), open_)) return;
        if (errno != EINTR && errno != EAGAIN && errno != EPIPE) error_ = errno;
        cut_ = true;
    }

    // False, having said why, when output could not be written.
    bool written() const {
        if (error_ != 0) say("cannot write standard output: " + why(error_));
        return error_ == 0;
    }

  private:
    const sigset_t *open_;
    std::string pending_;
    bool cut_ = false; // output given up
    int error_ = 0;    // why, when it was not for want of a reader
};

// A picture's file: its bytes, or false with the reason.
using Draw = std::string (*)(const virt::Layout &);

// The pictures, by option; a null writer is one that this build lacks.
struct Format {
    const char *option;
    std::string Options::*path;
    Draw draw;
};
#ifdef TARVIK_HAVE_CAIRO
const Draw kPng = virt::png, kPdf = virt::pdf;
#else
const Draw kPng = nullptr, kPdf = nullptr;
#endif
const Format kFormats[] = {
    {"svg", &Options::svg, virt::svg}, {"png", &Options::png, kPng}, {"pdf", &Options::pdf, kPdf}};

// The files that the options name, by option: what the session reads and
// what it writes.
std::vector<std::pair<std::string, const std::string *>> files_named(const Options &o) {
    std::vector<std::pair<std::string, const std::string *>> named;
    if (!o.replay.empty()) named.push_back({"--replay", &o.replay});
    if (o.replay.empty() && !o.capture.empty()) named.push_back({"--capture", &o.capture});
    for (const Format &f : kFormats)
        if (!(o.*f.path).empty()) named.push_back({std::string("--") + f.option, &(o.*f.path)});
    return named;
}

// Shows events, and draws them when a picture is asked for. Returns false
// once --count commands have been shown; a check's summary follows its last
// field.
class Session {
  public:
    Session(const Options &o, const virt::ToUtf8 &to_utf8, Output &out)
        : opt_(o), to_utf8_(to_utf8), out_(out) {
        if (!o.svg.empty() || !o.png.empty() || !o.pdf.empty())
            picture_ = std::make_unique<virt::Picture>(to_utf8);
    }

    bool show(const std::vector<virt::Event> &events) {
        for (const virt::Event &e : events) {
            bool summary = e.kind == virt::Kind::check;
            if (!summary && done()) break;
            out_.line(opt_.json ? virt::json_line(e, to_utf8_, opt_.hex)
                                : virt::text_line(e, to_utf8_, opt_.hex));
            if (picture_) picture_->add(e);
            if (!summary) ++shown_;
        }
        out_.flush();
        return !done();
    }
    bool done() const {
        return opt_.count > 0 && shown_ >= opt_.count;
    }
    const virt::Picture *picture() const {
        return picture_.get();
    }

  private:
    const Options &opt_;
    const virt::ToUtf8 &to_utf8_;
    Output &out_;
    std::unique_ptr<virt::Picture> picture_;
    long shown_ = 0;
};

// The files that --capture and the pictures name. All are opened at the
// start, so that a path that cannot be written stops the printer before it
// begins, and every write to them is checked.
class Files {
  public:
    Files(const std::string &capture, const Options &o) : capture_path_(capture) {
        // The pictures first: each is emptied only when it is written, so a
        // failure here leaves an earlier capture whole.
        for (const Format &f : kFormats)
            if (!(o.*f.path).empty())
                pictures_.push_back({&f, o.*f.path, open_output(o.*f.path, 0)});
        if (!capture.empty()) capture_ = open_output(capture, O_TRUNC);
    }
    ~Files() {
        if (capture_ >= 0) close(capture_);
        for (const Drawing &p : pictures_)
            if (p.fd >= 0) close(p.fd);
    }
    Files(const Files &) = delete;
    Files &operator=(const Files &) = delete;

    // From here on the ending signals keep a write from waiting: a reader
    // that stops reading must not keep the session from ending.
    void let_signals_in(const sigset_t *open) {
        open_ = open;
    }

    void capture(const char *data, std::size_t size) {
        if (capture_ >= 0 && capture_error_ == 0 && !write_out(capture_, data, size, open_))
            capture_error_ = errno;
    }

    // Closes the capture and writes the pictures. False, having said why,
    // when any could not be written.
    bool finish(const Session &session) {
        bool ok = true;
        if (capture_ >= 0) {
            if (close(capture_) != 0 && capture_error_ == 0) capture_error_ = errno;
            capture_ = -1;
            if (capture_error_ != 0) {
                say("cannot write " + capture_path_ + ": " + why(capture_error_));
                ok = false;
            }
        }
        if (pictures_.empty()) return ok;
        // Written after the signal that ended the session: only a later one
        // cuts them short.
        sig_atomic_t ignored = signals_in;
        virt::Layout layout = session.picture()->layout();
        for (Drawing &p : pictures_) {
            std::string data, error;
            bool drawn = true;
            try {
                data = p.format->draw(layout);
            } catch (const Failure &f) {
                drawn = false;
                error = f.what();
            }
            struct stat st {};
            bool written = drawn && fstat(p.fd, &st) == 0 &&
                           (!S_ISREG(st.st_mode) || ftruncate(p.fd, 0) == 0) &&
                           write_out(p.fd, data.data(), data.size(), open_, ignored);
            int err = errno;
            if (close(p.fd) != 0 && written) {
                err = errno;
                written = false;
            }
            p.fd = -1;
            if (!written) {
                say("cannot write " + p.path + ": " + (drawn ? why(err) : error));
                ok = false;
            }
        }
        return ok;
    }

  private:
    static int open_output(const std::string &path, int flags) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
        if (fd < 0) throw Failure{"cannot write " + path + ": " + why(errno)};
        return fd;
    }

    struct Drawing {
        const Format *format;
        std::string path;
        int fd;
    };
    const sigset_t *open_ = nullptr;
    std::string capture_path_;
    int capture_ = -1;
    int capture_error_ = 0;
    std::vector<Drawing> pictures_;
};

// Whether two paths name one file however they are spelled: the same file,
// or, where there is none yet, the same name in the same directory.
bool same_file(const std::string &a, const std::string &b) {
    struct stat sa {
    }, sb{};
    bool ha = stat(a.c_str(), &sa) == 0, hb = stat(b.c_str(), &sb) == 0;
    if (ha || hb) return ha && hb && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    auto split = [](const std::string &p, std::string &name) {
        std::size_t slash = p.rfind('/');
        name = p.substr(slash + 1);
        return slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
    };
    std::string na, nb;
    std::string da = split(a, na), db = split(b, nb);
    return na == nb && stat(da.c_str(), &sa) == 0 && stat(db.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Two options that name one file would lose what one of them reads or
// writes.
void refuse_one_file(const Options &opt) {
    auto named = files_named(opt);
    for (std::size_t i = 0; i < named.size(); ++i)
        for (std::size_t j = i + 1; j < named.size(); ++j)
            if (same_file(*named[i].second, *named[j].second))
                throw Failure{named[i].first + " and " + named[j].first + " name one file, " +
                              *named[j].second};
}

int replay(const Options &opt, const virt::ToUtf8 &to_utf8) {
    refuse_one_file(opt);
    int fd = open(opt.replay.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Failure{"cannot read " + opt.replay + ": " + why(errno)};
    Files files("", opt);
    Output out;
    Session session(opt, to_utf8, out);
    virt::Decoder decoder;
    bool going = true;
    char buf[kChunk];
    while (going) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            throw Failure{"cannot read " + opt.replay + ": " + why(err)};
        }
        if (n == 0) break;
        going = session.show(decoder.feed(buf, static_cast<std::size_t>(n)));
    }
    close(fd);
    if (going) session.show(decoder.finish());
    bool written = files.finish(session);
    return out.written() && written ? 0 : 2;
}

// The printer's side: a pseudo-terminal whose slave end this program holds
// open, so that the library's opens and closes never hang the line up.
struct Line {
    int master = -1;
    int slave = -1;
    std::string device;
    ~Line() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

void open_line(Line &l) {
    l.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (l.master < 0 || grantpt(l.master) != 0 || unlockpt(l.master) != 0)
        throw Failure{"posix_openpt: " + why(errno)};
    const char *name = ptsname(l.master);
    if (name == nullptr) throw Failure{"ptsname failed"};
    l.device = name;
    l.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (l.slave < 0 || tcgetattr(l.slave, &t) != 0) throw Failure{"cannot open " + l.device};
    cfmakeraw(&t);
    tcsetattr(l.slave, TCSANOW, &t);
}

// After --count commands, the printer waits until the application has let
// the port go (the library's lock on it is free), at most 5 s: a printer
// that vanished under a command still closing would have it fail, though
// every byte arrived. An ending signal stops the wait.
const timespec kLetGoStep{0, 10000000};
const int kLetGoSteps = 500;

void let_go_first(const Line &line, const sigset_t &waiting) {
    for (int step = 0; step < kLetGoSteps && stop_signal == 0; ++step) {
        if (flock(line.slave, LOCK_EX | LOCK_NB) == 0) {
            flock(line.slave, LOCK_UN);
            return;
        }
        ppoll(nullptr, 0, &kLetGoStep, &waiting);
    }
}

int live(const Options &opt, const virt::ToUtf8 &to_utf8) {
    // An ending signal is only marked until the session runs; then it ends
    // the session at once. No step before that waits, except the opening of
    // a named pipe for --capture or --svg, which the signal breaks.
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigset_t ending;
    sigemptyset(&ending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&ending, sig);
    }
    std::signal(SIGPIPE, SIG_IGN);

    std::string ini_path = opt.dir + "/tarvik.ini";
    virt::Hold hold;
    if (pid_t holder = hold.take(opt.dir))
        throw Failure{"another tarvik-virtual, process " + std::to_string(holder) + ", runs in " +
                      opt.dir + " and points its tarvik.ini at itself; this one does not start"};
    // A run killed before it could undo its change: undone before anything
    // else. True when there was one.
    auto repair = [](virt::Hold &h, const std::string &path) {
        virt::Change left;
        if (!h.left_over(left)) return false;
        std::string what;
        virt::put_back(path, left, what);
        say("process " + std::to_string(left.pid) +
            " ended here without putting tarvik.ini back; " + what);
        h.clear();
        return true;
    };
    repair(hold, ini_path);

    virt::IniFile ini = virt::read_ini(ini_path);
    // Where tarvik.ini is a link, the file it names is locked too, and the
    // change is kept beside it, so that no printer whose tarvik.ini names
    // that file from another directory changes it at the same time.
    virt::Hold guard;
    virt::Hold *keeper = &hold;
    std::string guard_dir, guard_name;
    if (virt::guard_of(ini, guard_dir, guard_name)) {
        if (pid_t holder = guard.take(guard_dir, guard_name))
            throw Failure{"another tarvik-virtual, process " + std::to_string(holder) +
                          ", points " + ini.target + ", which " + ini_path +
                          " links to, at itself; this one does not start"};
        if (repair(guard, ini.target)) ini = virt::read_ini(ini_path);
        keeper = &guard;
    }
    // An output over a file that the printer writes would lose one of them.
    std::vector<std::string> own = {ini_path, hold.path(), virt::temp_of(ini)};
    if (keeper == &guard) own.push_back(guard.path());
    for (const auto &named : files_named(opt))
        for (const std::string &file : own)
            if (same_file(*named.second, file))
                throw Failure{*named.second + " is " + file +
                              ", which the printer rewrites while it runs"};
    refuse_one_file(opt);
    Files files(opt.capture, opt);
    Line line;
    open_line(line);
    std::string port = line.device.substr(std::strlen("/dev/"));
    virt::Change change;
    std::string during = virt::with_port(ini.bytes, ini.exists, port, getpid(), change);
    keeper->keep(change);
    try {
        virt::write_ini(ini, during);
    } catch (const Failure &) {
        keeper->clear();
        throw;
    }

    // From here the ending signals come in only while the session waits.
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, &ending, &waiting);
    files.let_signals_in(&waiting);
    Output out(&waiting);
    Session session(opt, to_utf8, out);
    virt::Decoder decoder;
    out.line(opt.json ? virt::ready_json(line.device, port)
                      : virt::ready_text(line.device, port, ini_path));
    out.flush();

    bool going = true;
    // After a signal, what has already arrived is still shown, within reason.
    int drained = 0;
    while (going && (stop_signal == 0 || drained++ < 64)) {
        pollfd p{line.master, POLLIN, 0};
        timespec now{0, 0};
        int r = ppoll(&p, 1, stop_signal != 0 ? &now : nullptr, &waiting);
        if (r == 0) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        char buf[kChunk];
        ssize_t n = read(line.master, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        files.capture(buf, static_cast<std::size_t>(n));
        going = session.show(decoder.feed(buf, static_cast<std::size_t>(n)));
    }
    if (going) session.show(decoder.finish());
    else let_go_first(line, waiting);

    // Only our port line goes back; the rest of the file stays as it is now.
    bool put_back = true;
    try {
        std::string what;
        if (virt::put_back(ini_path, change, what) == virt::PutBack::left) say(what);
        keeper->clear();
    } catch (const Failure &f) {
        say(f.what() + std::string("; the next start puts the port line back"));
        put_back = false;
    }
    bool written = files.finish(session);
    written = out.written() && written;
    return !put_back || !written ? 2 : 0;
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    const option longs[] = {
        {"dir", required_argument, nullptr, 'd'},     {"json", no_argument, nullptr, 'j'},
        {"hex", no_argument, nullptr, 'x'},           {"charset", required_argument, nullptr, 'c'},
        {"capture", required_argument, nullptr, 'p'}, {"replay", required_argument, nullptr, 'r'},
        {"svg", required_argument, nullptr, 's'},     {"png", required_argument, nullptr, 's'},
        {"pdf", required_argument, nullptr, 's'},     {"count", required_argument, nullptr, 'n'},
        {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0},
    };
    int which = 0;
    for (int c; (c = getopt_long(argc, argv, "", longs, &which)) != -1;) {
        // An empty path names no file: as --dir it would put tarvik.ini in /,
        // as --replay it would start a printer instead.
        if ((c == 'd' || c == 'p' || c == 'r' || c == 's') && *optarg == '\0') {
            say(std::string("--") + longs[which].name + " takes a path, not an empty one");
            return 2;
        }
        switch (c) {
        case 'd':
            opt.dir = optarg;
            break;
        case 'j':
            opt.json = true;
            break;
        case 'x':
            opt.hex = true;
            break;
        case 'c':
            opt.charset = optarg;
            break;
        case 'p':
            opt.capture = optarg;
            break;
        case 'r':
            opt.replay = optarg;
            break;
        case 's':
            for (const Format &f : kFormats) {
                if (std::strcmp(f.option, longs[which].name) != 0) continue;
                if (f.draw == nullptr) {
                    say(std::string("--") + f.option +
                        " is not built in: this tarvik-virtual was built without cairo");
                    return 2;
                }
                opt.*f.path = optarg;
            }
            break;
        case 'n': {
            char *end = nullptr;
            opt.count = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || opt.count < 1) {
                say("--count takes a number above 0");
                return 2;
            }
            break;
        }
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        default:
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (optind != argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    charset::Converter cs("UTF-8", opt.charset);
    if (!cs.ok()) {
        say("unknown character set " + opt.charset);
        return 2;
    }
    // A byte that does not convert is shown as U+FFFD.
    virt::ToUtf8 to_utf8 = [&cs](const std::string &text) {
        std::string out;
        cs.convert(text, out, charset::Bad::replace);
        return out;
    };
    try {
        return opt.replay.empty() ? live(opt, to_utf8) : replay(opt, to_utf8);
    } catch (const Failure &f) {
        say(f.what());
        return 2;
    }
}
