// tarvik-worker: runs the library's calls for one client, in a process of
// its own. The library's process-wide state (the current directory it reads
// tarvik.ini from, its saved line settings, its exit on a missing file, its
// blocking writes) then belongs to this process, and nothing that the
// client's threads, timers, signals or forks do can reach it.
//
// Standard input is a stream socket to the client. Each message is a
// little-endian 32-bit length and then that many bytes of items, each item a
// 32-bit length and its bytes. A request's first item names it:
//   call WHERE MICROS FUNCTION ARG...   one printer command, the port opened
//                                       around it; WHERE is the directory
//   open WHERE MICROS                   holds the port: serial_open
//   close FD MICROS DROP                serial_close; DROP "1" drops the rest
//   putn FD MICROS DATA                 serial_putn
//   gets FD SIZE                        serial_gets
//   cancel                              cuts the request being run short
// MICROS bounds the waits for the port's lock and for the printer; 0 is no
// bound. Each request gets one answer:
//   OUTCOME RESULT ERRNO PORT REPORT DATA
// OUTCOME is "done", or why the call was cut short ("timeout", "cancelled",
// "signal"), or why it was not made: "nodir" and, inside a hold, "noini"
// (ERRNO tells), "exit" (tarvik.ini did not open and the library ended this
// process: RESULT is the status, ERRNO why the file does not open now, 0
// when it does), "bad" (a request this program does not know; DATA says
// why). PORT is serial_open's
// code when the port did not open, else 0; REPORT is what the library wrote
// to standard output during the call; DATA is what gets read, or a message.
// The first answer, before any request, is "ready" with the process id, or
// "library" with the reason why the library could not be loaded.
//
// Usage: tarvik-worker [--library PATH]   (default: the system's library)
#include "tarvik.h"

#include "bounded.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kSocket = STDIN_FILENO;
constexpr std::uint32_t kMaxMessage = 16u << 20;
constexpr int kMaxRead = 1 << 16;

// ---- The library, loaded at run time ----------------------------------

// Loaded with dlopen rather than linked, so that the client can name any
// copy of it, and a copy that lacks a name is reported instead of ending
// this program in the loader.
struct Library {
    decltype(&::serial_open) serial_open;
    decltype(&::serial_close) serial_close;
    decltype(&::serial_putn) serial_putn;
    decltype(&::serial_gets) serial_gets;
    decltype(&::tarvlf) tarvlf;
    decltype(&::tarvabreverso) tarvabreverso;
    decltype(&::tarvfechaverso) tarvfechaverso;
    decltype(&::tarvcheque) tarvcheque;
    decltype(&::tarvtxt) tarvtxt;
    decltype(&::tarvaut) tarvaut;
    decltype(&::tarvversotxt) tarvversotxt;
};
Library lib;

// One of the names this program calls, as the library exports it.
template <class F>
bool take(void *dll, const char *path, const char *name, const char *symbol, F &slot,
          std::string &why) {
    void *found = dlsym(dll, symbol);
    if (found == nullptr) {
        why = std::string(path) + " lacks " + name + " (" + symbol + ")";
        return false;
    }
    slot = reinterpret_cast<F>(found);
    return true;
}

bool load(const char *path, std::string &why) {
    void *dll = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (dll == nullptr) {
        const char *err = dlerror();
        why = std::string("cannot load ") + path + ": " + (err != nullptr ? err : "unknown error");
        return false;
    }
    auto in = [&](const char *name, const char *symbol, auto &slot) {
        return take(dll, path, name, symbol, slot, why);
    };
    return in("serial_open", "_Z11serial_openv", lib.serial_open) &&
           in("serial_close", "_Z12serial_closei", lib.serial_close) &&
           in("serial_putn", "_Z11serial_putniPci", lib.serial_putn) &&
           in("serial_gets", "_Z11serial_getsiPci", lib.serial_gets) &&
           in("tarvlf", "_Z6tarvlfi", lib.tarvlf) &&
           in("tarvabreverso", "_Z13tarvabreversov", lib.tarvabreverso) &&
           in("tarvfechaverso", "_Z14tarvfechaversov", lib.tarvfechaverso) &&
           in("tarvcheque", "_Z10tarvchequePcS_S_S_S_S_S_", lib.tarvcheque) &&
           in("tarvtxt", "_Z7tarvtxtccPc", lib.tarvtxt) &&
           in("tarvaut", "_Z7tarvautcccPc", lib.tarvaut) &&
           in("tarvversotxt", "_Z12tarvversotxtccPc", lib.tarvversotxt);
}

// ---- Messages ----------------------------------------------------------

using Items = std::vector<std::string>;

void put32(std::string &out, std::uint32_t n) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((n >> (8 * i)) & 0xff);
}

std::uint32_t get32(const char *p) {
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i)
        n = (n << 8) | static_cast<unsigned char>(p[i]);
    return n;
}

// Sends the whole message; false when the client has gone. MSG_NOSIGNAL: a
// client that has gone gives EPIPE, not SIGPIPE.
bool send_items(const Items &items) {
    std::string body;
    for (const std::string &item : items) {
        put32(body, static_cast<std::uint32_t>(item.size()));
        body += item;
    }
    std::string message;
    put32(message, static_cast<std::uint32_t>(body.size()));
    message += body;
    const char *p = message.data();
    std::size_t left = message.size();
    while (left > 0) {
        ssize_t sent = send(kSocket, p, left, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        p += sent;
        left -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Reads exactly n bytes, and no more: what follows stays in the socket for
// the watcher to see. 0: the client has gone; -1: a stop came (EINTR).
int read_exact(char *p, std::size_t n) {
    while (n > 0) {
        ssize_t got = read(kSocket, p, n);
        if (got < 0 && errno == EINTR) {
            if (bounded::stop() != 0) return -1;
            continue;
        }
        if (got <= 0) return 0;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return 1;
}

// The next request's items. 1, 0 (the client has gone or sent no message
// this program can read) or -1 (a stop came).
int receive(Items &items) {
    char head[4];
    int got = read_exact(head, 4);
    if (got <= 0) return got;
    std::uint32_t size = get32(head);
    if (size > kMaxMessage) return 0;
    std::string body(size, '\0');
    if ((got = read_exact(body.data(), size)) <= 0) return got;
    items.clear();
    for (std::size_t at = 0; at < body.size();) {
        if (body.size() - at < 4) return 0;
        std::uint32_t n = get32(body.data() + at);
        at += 4;
        if (n > body.size() - at) return 0;
        items.emplace_back(body, at, n);
        at += n;
    }
    return 1;
}

// ---- The library's reports ---------------------------------------------

// Standard output is a file in memory: what the library reports goes back
// with the answer, and never to a terminal or a pipe of the client's.
bool capture_stdout() {
    int fd = memfd_create("tarvik-worker reports", MFD_CLOEXEC);
    if (fd < 0) {
        std::FILE *f = std::tmpfile();
        if (f == nullptr) return false;
        fd = dup(fileno(f));
    }
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) return false;
    close(fd);
    return true;
}

std::string take_report() {
    std::fflush(stdout);
    off_t size = lseek(STDOUT_FILENO, 0, SEEK_END);
    std::string report(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (!report.empty()) {
        ssize_t got = pread(STDOUT_FILENO, report.data(), report.size(), 0);
        report.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    if (ftruncate(STDOUT_FILENO, 0) != 0) report += "(the report could not be cleared)\n";
    std::fseek(stdout, 0, SEEK_SET);
    return report;
}

// ---- The watch on the socket -------------------------------------------

// While a request runs, a cancel, or the end of file of a client that has
// gone, cuts its wait short; other data (a request sent ahead) does not. The
// kernel tells by SIGIO; this program has one thread, so every signal
// reaches the wait it is to cut, under an emulator too.
volatile sig_atomic_t watching = 0;

// Whether the socket's next bytes are a whole cancel, or its end: a look
// that takes nothing, safe in a signal handler.
bool cancel_waiting() {
    static const char cancel[] = {10, 0, 0, 0, 6, 0, 0, 0, 'c', 'a', 'n', 'c', 'e', 'l'};
    char head[sizeof cancel];
    ssize_t got = recv(kSocket, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return true;
    return got == static_cast<ssize_t>(sizeof head) && std::memcmp(head, cancel, sizeof head) == 0;
}

void on_io(int) {
    int saved = errno;
    if (watching != 0 && cancel_waiting()) bounded::poke();
    errno = saved;
}

bool watch_socket() {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_io;
    // SIGIO itself cuts nothing: data that is no cancel must not end the
    // library's write with EINTR. A cancel's poke cuts it, by the timer.
    sa.sa_flags = SA_RESTART;
    int flags = fcntl(kSocket, F_GETFL);
    return sigaction(SIGIO, &sa, nullptr) == 0 && flags >= 0 &&
           fcntl(kSocket, F_SETOWN, getpid()) == 0 && fcntl(kSocket, F_SETFL, flags | O_ASYNC) == 0;
}

// One request's bounded wait, with the socket watched.
class Watched {
  public:
    explicit Watched(bounded::Micros bound) : run_(bound) {
        watching = 1;
        // What came before the watch began gave its signal unheard.
        if (cancel_waiting()) bounded::poke();
    }
    ~Watched() {
        end();
    }
    Watched(const Watched &) = delete;
    Watched &operator=(const Watched &) = delete;
    void end() {
        watching = 0;
        run_.disarm();
    }
    const bounded::Run &run() const {
        return run_;
    }

  private:
    bounded::Run run_;
};

// ---- Requests ----------------------------------------------------------

// The descriptors of the holds (open) not yet closed, innermost last.
std::vector<int> holds;
// Set while a request runs: the library's exit then answers it.
bool in_request = false;

std::string number(long long n) {
    return std::to_string(n);
}

bool parse_int(const std::string &text, long long &out) {
    if (text.empty() || text.size() > 18) return false;
    std::size_t at = text[0] == '-' ? 1 : 0;
    if (at == text.size() || text.find_first_not_of("0123456789", at) != std::string::npos)
        return false;
    out = std::stoll(text);
    return true;
}

Items answer(const char *outcome, long long result = 0, int err = 0, int port = 0,
             std::string data = "") {
    return {outcome, number(result), number(err), number(port), take_report(), std::move(data)};
}

Items bad(const std::string &why) {
    return answer("bad", 0, 0, 0, why);
}

const char *cut_outcome(const bounded::Run &run) {
    switch (run.end()) {
    case bounded::End::poked:
        return "cancelled";
    case bounded::End::signal:
        return "signal";
    default:
        return "timeout";
    }
}

// Goes to the directory. Where the library's exit on a missing tarvik.ini
// would let a hold go, first sees that the file is there. Empty when all is
// well.
Items where(const std::string &dir) {
    if (chdir(dir.c_str()) != 0) return answer("nodir", 0, errno);
    if (holds.empty()) return {};
    int fd = open("tarvik.ini", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return {};
    }
    // Short of descriptors or memory, the library reports a port failure.
    if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) return {};
    return answer("noini", 0, errno);
}

bool one_char(const std::string &arg, char &c) {
    if (arg.size() != 1) return false;
    c = arg[0];
    return true;
}

// The named command with its arguments, to run on the open port; empty for
// a name or arguments that this program does not know.
std::function<int()> command(const std::string &name, Items &args) {
    auto text = [&args](std::size_t i) { return args[i].data(); }; // items end in a zero
    char a, b, c;
    std::size_t n = args.size();
    long long count;
    if (name == "tarvlf" && n == 1 && parse_int(args[0], count) && count >= -1000 && count <= 1000)
        return [count] { return lib.tarvlf(static_cast<int>(count)); };
    if (name == "tarvabreverso" && n == 0) return lib.tarvabreverso;
    if (name == "tarvfechaverso" && n == 0) return lib.tarvfechaverso;
    if (name == "tarvcheque" && n == 7)
        return [=] {
            return lib.tarvcheque(text(0), text(1), text(2), text(3), text(4), text(5), text(6));
        };
    if ((name == "tarvtxt" || name == "tarvversotxt") && n == 3 && one_char(args[0], a) &&
        one_char(args[1], b)) {
        auto line = name == "tarvtxt" ? lib.tarvtxt : lib.tarvversotxt;
        return [=] { return line(a, b, text(2)); };
    }
    if (name == "tarvaut" && n == 4 && one_char(args[0], a) && one_char(args[1], b) &&
        one_char(args[2], c))
        return [=] { return lib.tarvaut(a, b, c, text(3)); };
    return {};
}

Items call(Items &req) {
    long long micros;
    if (req.size() < 4 || !parse_int(req[2], micros))
        return bad("call takes WHERE MICROS FUNCTION ARG...");
    Items args(req.begin() + 4, req.end());
    std::function<int()> run = command(req[3], args);
    if (!run) return bad("unknown function or arguments: " + req[3]);
    Items missing = where(req[1]);
    if (!missing.empty()) return missing;
    Watched w(micros);
    int fd = lib.serial_open();
    if (fd < 0) {
        int err = errno;
        w.end();
        return answer(w.run().cut(err) ? cut_outcome(w.run()) : "done", 0, err, fd);
    }
    errno = 0;
    int result = run();
    int err = errno;
    bool cut = result != 1 && w.run().cut(err);
    lib.serial_close(fd);
    w.end();
    return answer(cut ? cut_outcome(w.run()) : "done", result, err);
}

Items open_port(const Items &req) {
    long long micros;
    if (req.size() != 3 || !parse_int(req[2], micros)) return bad("open takes WHERE MICROS");
    Items missing = where(req[1]);
    if (!missing.empty()) return missing;
    Watched w(micros);
    int fd = lib.serial_open();
    int err = errno;
    w.end();
    if (fd < 0) return answer(w.run().cut(err) ? cut_outcome(w.run()) : "done", 0, err, fd);
    holds.push_back(fd);
    return answer("done", fd);
}

// A descriptor that this program's holds gave, else -1: the client never
// reaches another one.
int held_fd(const std::string &text) {
    long long fd;
    if (!parse_int(text, fd)) return -1;
    for (int h : holds)
        if (h == fd) return h;
    return -1;
}

void forget(int fd) {
    for (auto it = holds.end(); it != holds.begin();) {
        if (*--it == fd) {
            holds.erase(it);
            return;
        }
    }
}

Items close_port(const Items &req) {
    long long micros;
    if (req.size() != 4 || !parse_int(req[2], micros)) return bad("close takes FD MICROS DROP");
    int fd = held_fd(req[1]);
    if (fd < 0) return answer("done", -1, EBADF);
    Watched w(req[3] == "1" ? 0 : micros);
    // The drain that a poke cuts short drops the rest and restores the line.
    if (req[3] == "1") bounded::poke();
    errno = 0;
    int closed = lib.serial_close(fd);
    int err = errno;
    forget(fd);
    w.end();
    bool cut = req[3] != "1" && w.run().cut(err);
    return answer(cut ? cut_outcome(w.run()) : "done", closed, err);
}

Items putn(Items &req) {
    long long micros;
    if (req.size() != 4 || !parse_int(req[2], micros)) return bad("putn takes FD MICROS DATA");
    int fd = held_fd(req[1]);
    if (fd < 0) return answer("done", -1, EBADF);
    std::string &data = req[3];
    int n = static_cast<int>(std::min<std::size_t>(data.size(), kMaxMessage));
    Watched w(micros);
    errno = 0;
    int put = lib.serial_putn(fd, data.data(), n);
    int err = errno;
    w.end();
    return answer(put < 0 && w.run().cut(err) ? cut_outcome(w.run()) : "done", put, err);
}

Items gets(const Items &req) {
    long long size;
    if (req.size() != 3 || !parse_int(req[2], size) || size < 0) return bad("gets takes FD SIZE");
    int fd = held_fd(req[1]);
    if (fd < 0) return answer("done", 0, EBADF);
    std::string buf(static_cast<std::size_t>(std::min<long long>(size, kMaxRead)) + 1, '\0');
    int got = lib.serial_gets(fd, buf.data(), static_cast<int>(buf.size() - 1));
    buf.resize(static_cast<std::size_t>(got));
    return answer("done", got, 0, 0, buf);
}

Items handle(Items &req) {
    const std::string &verb = req[0];
    if (verb == "call") return call(req);
    if (verb == "open") return open_port(req);
    if (verb == "close") return close_port(req);
    if (verb == "putn") return putn(req);
    if (verb == "gets") return gets(req);
    return bad("unknown request: " + verb);
}

// The client has gone or a stop came: the holds let go, what the printer has
// not taken dropped and the line restored.
void let_go() {
    while (!holds.empty()) {
        bounded::Run run(0);
        bounded::poke();
        lib.serial_close(holds.back());
        holds.pop_back();
    }
}

// The library ends the process when tarvik.ini is missing: the client still
// gets its answer, with why the file did not open.
void on_exit_answer(int status, void *) {
    if (!in_request) return;
    int fd = open("tarvik.ini", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int err = fd < 0 ? errno : 0;
    if (fd >= 0) close(fd);
    send_items(answer("exit", status, err));
}

} // namespace

int main(int argc, char **argv) {
    const char *path = TARVIK_SONAME;
    if (argc == 3 && std::strcmp(argv[1], "--library") == 0) {
        path = argv[2];
    } else if (argc != 1) {
        std::fprintf(stderr,
                     "Usage: tarvik-worker [--library PATH]\n"
                     "Runs the library's calls for the client on standard input, a socket.\n");
        return 2;
    }
    struct stat st {};
    if (fstat(kSocket, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        std::fprintf(stderr, "tarvik-worker: standard input is not a socket to a client\n");
        return 2;
    }
    // A parent may leave signals blocked. The client's Ctrl-C is for the
    // client, which decides; the stops end a command as the timer does, then
    // this program.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    bounded::handle({SIGHUP, SIGTERM}, {SIGINT, SIGPIPE});
    if (!capture_stdout() || !watch_socket()) {
        send_items({"library", "0", number(errno), "0", "",
                    "cannot set up: " + std::string(std::strerror(errno))});
        return 1;
    }
    std::string why;
    if (!load(path, why)) {
        send_items({"library", "0", "0", "0", "", why});
        return 1;
    }
    on_exit(on_exit_answer, nullptr);
    // Each request names its directory; in between this program keeps none
    // of the client's busy.
    if (chdir("/") != 0) return 1;
    if (!send_items({"ready", number(getpid()), "0", "0", "", ""})) return 0;
    Items req;
    for (;;) {
        int got = receive(req);
        if (got <= 0 || req.empty()) break;
        if (req[0] == "cancel") continue; // for a request already answered
        in_request = true;
        Items reply = handle(req);
        in_request = false;
        if (bounded::stop() != 0) {
            let_go();
            send_items(reply);
            break;
        }
        if (!send_items(reply)) break;
    }
    let_go();
    if (int sig = bounded::stop()) bounded::die(sig);
    return 0;
}
