// tarvik-virtual: plays the printer on a pseudo-terminal, names it in
// tarvik.ini, and shows each command the library sends it.
#include "decoder.h"
#include "link/ini.h"
#include "svg.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <getopt.h>
#include <iconv.h>
#include <poll.h>
#include <string>
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
    std::string svg;
    long count = 0; // 0: no limit
};

const char kUsage[] =
    "usage: tarvik-virtual [--dir DIR] [--json] [--hex] [--charset NAME] [--capture FILE]\n"
    "                      [--svg FILE] [--count N]\n"
    "       tarvik-virtual --replay FILE [--json] [--hex] [--charset NAME] [--svg FILE]\n"
    "Plays the printer on a pseudo-terminal named in DIR/tarvik.ini (default: the\n"
    "current directory), and prints one line per command it receives.\n";

volatile sig_atomic_t stop_signal = 0;

void on_signal(int sig) {
    stop_signal = sig;
}

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "tarvik-virtual: %s\n", what.c_str());
    std::exit(2);
}

// Text bytes in the printer's character set, to UTF-8. A byte that does not
// convert becomes U+FFFD.
class Charset {
  public:
    explicit Charset(const std::string &name) {
        cd_ = iconv_open("UTF-8", name.c_str());
        if (cd_ == reinterpret_cast<iconv_t>(-1)) fail("unknown character set " + name);
    }
    ~Charset() {
        iconv_close(cd_);
    }
    Charset(const Charset &) = delete;
    Charset &operator=(const Charset &) = delete;

    std::string operator()(const std::string &in) const {
        std::string out;
        char buf[256];
        char *src = const_cast<char *>(in.data());
        std::size_t left = in.size();
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        while (left > 0) {
            char *dst = buf;
            std::size_t room = sizeof buf;
            std::size_t r = iconv(cd_, &src, &left, &dst, &room);
            out.append(buf, static_cast<std::size_t>(dst - buf));
            if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
                out += "\xEF\xBF\xBD";
                ++src;
                --left;
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return out;
    }

  private:
    iconv_t cd_;
};

bool read_file(const std::string &path, std::string &data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    data = s.str();
    return true;
}

// flags: 0 for a file that must be there, O_CREAT, or O_CREAT | O_EXCL.
bool write_file(const std::string &path, const std::string &data, int flags) {
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | flags, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return close(fd) == 0 && done == data.size();
}

// tarvik.ini with its port entry naming port: the line the library takes as
// the port entry is replaced, keeping its line end, or one is put on top.
std::string with_port(const std::string &ini, const std::string &port) {
    IniReader in(ini.data(), ini.size());
    char line[kIniLine];
    if (!in.find(kPortKey, line)) {
        std::size_t lf = ini.find('\n');
        bool crlf = lf != std::string::npos && lf > 0 && ini[lf - 1] == '\r';
        return "Porta=" + port + (crlf ? "\r\n" : "\n") + ini;
    }
    // The entry is the line that ends just before where the scan stopped.
    std::size_t after = in.consumed();
    std::size_t end = after > 0 && ini[after - 1] == '\n' ? after - 1 : after;
    std::size_t start = end == 0 ? 0 : ini.rfind('\n', end - 1);
    start = start == std::string::npos || end == 0 ? 0 : start + 1;
    std::size_t body_end = end > start && ini[end - 1] == '\r' ? end - 1 : end;
    return ini.substr(0, start) + "Porta=" + port + ini.substr(body_end);
}

// The session's output: one line per command, text or JSON.
class Output {
  public:
    // open: the signal mask under which the ending signals come in, or null
    // when none is handled.
    Output(const Options &o, const Charset &cs, const sigset_t *open = nullptr)
        : opt_(o), cs_(cs), open_(open) {}

    void ready(const std::string &device, const std::string &port, const std::string &ini) {
        if (opt_.json) {
            line(nlohmann::ordered_json{{"type", "ready"}, {"device", device}, {"port", port}});
        } else {
            put("printer on " + device + " (Porta=" + port + " in " + ini + ")\n");
        }
    }

    void event(const virt::Event &e) {
        if (opt_.json)
            line(to_json(e));
        else
            put(to_text(e) + "\n");
    }

  private:
    // Writes to standard output. A reader that stops reading must not keep
    // the session from ending: the ending signals may break a write that
    // waits, and once one has come, output that cannot go at once is dropped.
    void put(const std::string &s) {
        if (cut_) return;
        pollfd p{1, POLLOUT, 0};
        if (stop_signal != 0 && (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0)) {
            cut_ = true;
            return;
        }
        sigset_t held;
        if (open_ != nullptr) sigprocmask(SIG_SETMASK, open_, &held);
        for (std::size_t done = 0; done < s.size();) {
            ssize_t n = write(1, s.data() + done, s.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n == 0 || errno != EINTR || stop_signal != 0) {
                cut_ = true;
                break;
            }
        }
        if (open_ != nullptr) sigprocmask(SIG_SETMASK, &held, nullptr);
    }

    std::string text(const std::string &bytes) const {
        return cs_(bytes);
    }

    void line(const nlohmann::ordered_json &j) {
        std::string s = j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        put(s + "\n");
    }

    nlohmann::ordered_json to_json(const virt::Event &e) const {
        using virt::Kind;
        nlohmann::ordered_json j;
        switch (e.kind) {
        case Kind::line_feed:
            j = {{"type", "line_feed"}, {"count", e.count}};
            break;
        case Kind::back_side:
            j = {{"type", "back_side"}, {"on", e.on}};
            break;
        case Kind::front_text:
        case Kind::authentication:
        case Kind::back_text:
            j = {{"type", e.kind == Kind::front_text       ? "front_text"
                          : e.kind == Kind::authentication ? "authentication"
                                                           : "back_text"}};
            if (e.kind == Kind::authentication) j["selector"] = std::string(1, e.selector);
            j["pitch"] = std::string(1, e.pitch);
            j["double"] = e.twice;
            j["width"] = e.width;
            j["text"] = text(e.text);
            break;
        case Kind::check_field:
            j = {{"type", "check_field"},
                 {"field", std::string(1, e.field)},
                 {"text", text(e.text)}};
            break;
        case Kind::check: {
            nlohmann::ordered_json fields = nlohmann::ordered_json::array();
            for (const std::string &f : e.fields)
                fields.push_back(text(f));
            j = {{"type", "check"},
                 {"fields", fields},
                 {"date", text(virt::check_date(e))},
                 {"amount", text(e.fields[3])},
                 {"layout", text(virt::check_layout(e))}};
            break;
        }
        case Kind::unknown:
            j = {{"type", "unknown"}, {"hex", virt::hex_bytes(e.raw)}};
            break;
        }
        if (opt_.hex && e.kind != Kind::unknown && e.kind != Kind::check)
            j["hex"] = virt::hex_bytes(e.raw);
        return j;
    }

    std::string to_text(const virt::Event &e) const {
        using virt::Kind;
        auto quoted = [&](const std::string &t) { return "\"" + virt::visible(text(t)) + "\""; };
        auto line_of = [&](const char *what) {
            return std::string(what) + " pitch " + e.pitch + (e.twice ? " double" : "") +
                   " width " + std::to_string(e.width) + ": " + quoted(e.text);
        };
        std::string s;
        switch (e.kind) {
        case Kind::line_feed:
            s = "line feed " + std::to_string(e.count);
            break;
        case Kind::back_side:
            s = e.on ? "back side on" : "back side off";
            break;
        case Kind::front_text:
            s = line_of("front text");
            break;
        case Kind::authentication:
            s = line_of((std::string("authentication ") + e.selector).c_str());
            break;
        case Kind::back_text:
            s = line_of("back text");
            break;
        case Kind::check_field:
            s = std::string("check field ") + e.field + ": " + quoted(e.text);
            break;
        case Kind::check:
            s = "check date " + virt::visible(text(virt::check_date(e))) + ", amount " +
                virt::visible(text(virt::check_amount(e))) + ", layout " +
                virt::visible(text(virt::check_layout(e)));
            break;
        case Kind::unknown:
            s = "unknown " + virt::hex_bytes(e.raw);
            break;
        }
        if (opt_.hex && e.kind != Kind::unknown && e.kind != Kind::check)
            s += "  [" + virt::hex_bytes(e.raw) + "]";
        return s;
    }

    const Options &opt_;
    const Charset &cs_;
    const sigset_t *open_;
    bool cut_ = false; // output given up
};

// Shows events, and keeps them for the picture when one is asked for, so that
// a long session without --svg runs in constant memory. Returns false once
// --count commands have been shown; a check's summary follows its last field.
class Session {
  public:
    Session(const Options &o, Output &out) : opt_(o), out_(out) {}

    bool show(const std::vector<virt::Event> &events) {
        for (const virt::Event &e : events) {
            bool summary = e.kind == virt::Kind::check;
            if (!summary && done()) return false;
            out_.event(e);
            if (!opt_.svg.empty()) all_.push_back(e);
            if (!summary) ++shown_;
        }
        return !done();
    }
    bool done() const {
        return opt_.count > 0 && shown_ >= opt_.count;
    }
    const std::vector<virt::Event> &all() const {
        return all_;
    }

  private:
    const Options &opt_;
    Output &out_;
    std::vector<virt::Event> all_;
    long shown_ = 0;
};

void write_svg(const Options &opt, const Charset &cs, const Session &session) {
    if (opt.svg.empty()) return;
    std::string picture =
        virt::render_svg(session.all(), [&](const std::string &s) { return cs(s); });
    if (!write_file(opt.svg, picture, O_CREAT))
        std::fprintf(stderr, "tarvik-virtual: cannot write %s\n", opt.svg.c_str());
}

int replay(const Options &opt, const Charset &cs) {
    std::string data;
    if (!read_file(opt.replay, data)) fail("cannot read " + opt.replay);
    Output out(opt, cs);
    Session session(opt, out);
    virt::Decoder decoder;
    if (session.show(decoder.feed(data.data(), data.size()))) session.show(decoder.finish());
    write_svg(opt, cs, session);
    return 0;
}

// The printer's side: a pseudo-terminal whose slave end this program holds
// open, so that the library's opens and closes never hang the line up.
struct Line {
    int master = -1;
    int slave = -1;
    std::string device;
};

Line open_line() {
    Line l;
    l.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (l.master < 0 || grantpt(l.master) != 0 || unlockpt(l.master) != 0)
        fail(std::string("posix_openpt: ") + std::strerror(errno));
    const char *name = ptsname(l.master);
    if (name == nullptr) fail("ptsname failed");
    l.device = name;
    l.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (l.slave < 0 || tcgetattr(l.slave, &t) != 0) fail("cannot open " + l.device);
    cfmakeraw(&t);
    tcsetattr(l.slave, TCSANOW, &t);
    return l;
}

int live(const Options &opt, const Charset &cs) {
    // The signals that end the session are taken only while waiting.
    sigset_t ending, waiting;
    sigemptyset(&ending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&ending, sig);
    sigprocmask(SIG_BLOCK, &ending, &waiting);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::FILE *capture = nullptr;
    if (!opt.capture.empty()) {
        capture = std::fopen(opt.capture.c_str(), "wb");
        if (capture == nullptr) fail("cannot write " + opt.capture);
    }

    Line line = open_line();
    std::string port = line.device.substr(std::strlen("/dev/"));
    std::string ini_path = opt.dir + "/tarvik.ini";
    std::string before;
    bool existed = read_file(ini_path, before);
    // A file it makes is a new one, never one behind a link to nothing: the
    // restore would remove the link and leave that file behind.
    if (!write_file(ini_path, with_port(existed ? before : "", port),
                    existed ? 0 : O_CREAT | O_EXCL))
        fail("cannot write " + ini_path);

    Output out(opt, cs, &waiting);
    Session session(opt, out);
    virt::Decoder decoder;
    out.ready(line.device, port, ini_path);

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
        char buf[4096];
        ssize_t n = read(line.master, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        if (capture != nullptr) std::fwrite(buf, 1, static_cast<std::size_t>(n), capture);
        going = session.show(decoder.feed(buf, static_cast<std::size_t>(n)));
    }
    if (going) session.show(decoder.finish());

    // Put tarvik.ini back as it was.
    if (existed)
        write_file(ini_path, before, 0);
    else
        unlink(ini_path.c_str());
    if (capture != nullptr) std::fclose(capture);
    write_svg(opt, cs, session);
    close(line.slave);
    close(line.master);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    const option longs[] = {
        {"dir", required_argument, nullptr, 'd'},     {"json", no_argument, nullptr, 'j'},
        {"hex", no_argument, nullptr, 'x'},           {"charset", required_argument, nullptr, 'c'},
        {"capture", required_argument, nullptr, 'p'}, {"replay", required_argument, nullptr, 'r'},
        {"svg", required_argument, nullptr, 's'},     {"count", required_argument, nullptr, 'n'},
        {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0},
    };
    for (int c; (c = getopt_long(argc, argv, "", longs, nullptr)) != -1;) {
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
            opt.svg = optarg;
            break;
        case 'n': {
            char *end = nullptr;
            opt.count = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || opt.count < 1)
                fail("--count takes a number above 0");
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
    Charset cs(opt.charset);
    return opt.replay.empty() ? live(opt, cs) : replay(opt, cs);
}
