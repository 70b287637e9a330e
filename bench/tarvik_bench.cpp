// Times each printer command against a pseudo-terminal whose far end is
// drained, beside two others doing the same job for the same bytes:
//   floor    the bare system calls, written here: an fgets scan of tarvik.ini
//            per look-up, open, flock, tcgetattr, tcsetattr, the writes,
//            restore, unlock, close;
//   peer     a Python script with pyserial (peer.py), timed inside its own
//            interpreter and reported back per iteration.
// Each runs with tarvik.ini at 20, 10,000 and 100,000 lines, entries last,
// alone (COMMAND/LINES/library, .../floor, .../peer) and all three in turns
// within each iteration (.../interleaved), whose counters give the medians
// and their ratios. Before timing, every command's bytes are checked on the
// far end for all three, so that they really do the same work.
//
// bench/run.sh turns the interleaved runs into the ratio report; alone, this
// is an ordinary Google Benchmark program.
#include "tarvik.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <signal.h>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef TARVIK_PEER
#define TARVIK_PEER "peer.py"
#endif
#ifndef TARVIK_PYTHON
#define TARVIK_PYTHON "python3"
#endif

namespace {

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "tarvik_bench: %s\n", what.c_str());
    std::exit(2);
}

// ---- The printer: a pseudo-terminal with a thread that drains it -----------

class Printer {
  public:
    Printer() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            die("posix_openpt failed");
        pts_ = ptsname(master_);
        // The slave stays open for the whole run so that the line never
        // hangs up between commands.
        int s = open(pts_.c_str(), O_RDWR | O_NOCTTY);
        if (s < 0) die("cannot open " + pts_);
        slave_ = fcntl(s, F_DUPFD, 10);
        close(s);
        if (slave_ < 0 || slave_ >= 100) die("no descriptor below 100 for the slave");
        std::thread([this] { drain(); }).detach();
    }

    const std::string &pts() const {
        return pts_;
    }
    int slave() const {
        return slave_;
    }

    // Keeps what comes from now on, until take() has count bytes.
    void record() {
        std::lock_guard<std::mutex> lock(mu_);
        kept_.clear();
        recording_ = true;
    }
    std::string take(std::size_t count) {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait_for(lock, std::chrono::seconds(5), [&] { return kept_.size() >= count; });
        // Anything beyond count shows as a mismatch: let it arrive.
        lock.unlock();
        usleep(20000);
        lock.lock();
        recording_ = false;
        return kept_;
    }

  private:
    void drain() {
        char buf[4096];
        for (;;) {
            ssize_t n = read(master_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            if (recording_.load(std::memory_order_relaxed)) {
                std::lock_guard<std::mutex> lock(mu_);
                kept_.append(buf, static_cast<std::size_t>(n));
                cv_.notify_all();
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string pts_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string kept_;
    std::atomic<bool> recording_{false};
};

Printer &printer() {
    static Printer p;
    return p;
}

// ---- tarvik.ini of each size, in a directory each --------------------------

const int kSizes[] = {20, 10000, 100000};
std::string g_port_name; // what follows "Porta=": "pts/N", or "fd/N"
std::vector<std::string> g_dirs;

std::string make_ini_dir(int lines) {
    char tmpl[] = "/tmp/tarvik-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) die("mkdtemp failed");
    std::string dir = tmpl;
    FILE *f = std::fopen((dir + "/tarvik.ini").c_str(), "w");
    if (f == nullptr) die("cannot write tarvik.ini");
    // Lines of ordinary length that hold neither key; the two entries last.
    for (int i = 0; i < lines - 2; ++i)
        std::fputs("; observacao sem efeito para a impressora, linha de teste\n", f);
    std::fprintf(f, "Porta=%s\n237 05,15,08,06,06,05,05\n", g_port_name.c_str());
    std::fclose(f);
    return dir;
}

void remove_ini_dirs() {
    for (const std::string &d : g_dirs) {
        unlink((d + "/tarvik.ini").c_str());
        rmdir(d.c_str());
    }
}

void enter(int size_index) {
    if (chdir(g_dirs[static_cast<std::size_t>(size_index)].c_str()) != 0) die("chdir failed");
}

// ---- The commands and what each sends --------------------------------------

char g_text40[] = "PAGAMENTO EFETUADO EM 15/03/2004 AGENCIA";
char g_chk1[] = "PAGUE POR ESTE CHEQUE";
char g_chk2[] = "FULANO DE TAL";
char g_date[] = "15/03/2004";
char g_amount[] = "1.234,56";
char g_chk5[] = "SAO PAULO";
char g_chk6[] = "";
char g_bank[] = "237";

std::string field(char code, const std::string &text) {
    return std::string("\x1b.590") + code + text + "}";
}

struct Command {
    const char *name;
    std::function<void()> library;
    std::vector<std::string> blocks; // one write each
    int lookups;                     // scans of tarvik.ini
};

const std::vector<Command> &commands() {
    static const std::string text40 = g_text40;
    static const std::vector<Command> list = {
        {"tarvlf(3)", [] { tarvlf(3); }, {std::string("\n\n\n\0", 4)}, 1},
        {"tarvtxt",
         [] { tarvtxt('0', 'N', g_text40); },
         {"\x1b"
          "d0\x14" +
          text40 + "\n"},
         1},
        {"tarvaut",
         [] { tarvaut('0', 'N', 'Y', g_text40); },
         {"\x1bY\x1b"
          "d0\x14" +
          text40 + "\n"},
         1},
        {"tarvversotxt",
         [] { tarvversotxt('0', 'N', g_text40); },
         {std::string("\x1b"
                      "d0\r\0",
                      5),
          "\x14  " + text40.substr(0, 35) + "\n"},
         1},
        {"tarvcheque",
         [] { tarvcheque(g_chk1, g_chk2, g_date, g_amount, g_chk5, g_chk6, g_bank); },
         {field('1', g_chk1), field('2', g_chk2), field('3', "150304"), field('4', "000000123456"),
          field('5', g_chk5), field('6', g_chk6), field('7', "REAL"), field('8', "REAIS"),
          field('9', "000S05150806060505")},
         2},
        {"serial_open+close", [] { serial_close(serial_open()); }, {}, 1},
    };
    return list;
}

std::string joined(const Command &c) {
    std::string all;
    for (const std::string &b : c.blocks)
        all += b;
    return all;
}

// ---- The floor: the same job in bare system calls --------------------------

// One look-up: the lines of tarvik.ini up to the first holding needle.
void scan(const char *needle, char (&line)[100]) {
    FILE *f = std::fopen("tarvik.ini", "r");
    if (f == nullptr) die("no tarvik.ini");
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::strstr(line, needle) != nullptr) break;
    std::fclose(f);
}

void floor_run(const Command &c) {
    char line[100];
    scan("Porta=", line);
    char path[100] = "/dev/";
    std::size_t n = std::strcspn(line + 6, "\r\n");
    std::memcpy(path + 5, line + 6, n);
    path[5 + n] = '\0';

    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) die(std::string("floor: cannot open ") + path);
    flock(fd, LOCK_EX);
    termios saved;
    tcgetattr(fd, &saved);
    termios t{};
    t.c_cflag = B9600 | CS8 | CREAD | CLOCAL | CRTSCTS;
    tcsetattr(fd, TCSANOW, &t);
    for (int i = 1; i < c.lookups; ++i)
        scan("237", line);
    for (const std::string &b : c.blocks)
        if (write(fd, b.data(), b.size()) != static_cast<ssize_t>(b.size())) die("floor: write");
    tcsetattr(fd, TCSAFLUSH, &saved);
    flock(fd, LOCK_UN);
    close(fd);
}

// ---- The peer: peer.py in one interpreter, driven over pipes ---------------

class Peer {
  public:
    bool start() {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return false;
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            execlp(TARVIK_PYTHON, TARVIK_PYTHON, TARVIK_PEER, static_cast<char *>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = fdopen(in[1], "w");
        from_ = fdopen(out[0], "r");
        // The script says "ready" once pyserial is imported.
        char line[64];
        ok_ = std::fgets(line, sizeof line, from_) != nullptr && std::strcmp(line, "ready\n") == 0;
        return ok_;
    }
    bool ok() const {
        return ok_;
    }
    // Runs one command in the peer's working directory dir; gives the time
    // the peer measured, in seconds, or a negative value on failure.
    double run(const char *name, const std::string &dir) {
        std::fprintf(to_, "%s %s\n", name, dir.c_str());
        std::fflush(to_);
        char line[64];
        if (std::fgets(line, sizeof line, from_) == nullptr) return -1;
        return std::strtod(line, nullptr) * 1e-9;
    }
    void stop() {
        if (pid_ <= 0) return;
        std::fclose(to_);
        std::fclose(from_);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    FILE *to_ = nullptr;
    FILE *from_ = nullptr;
    bool ok_ = false;
};

Peer g_peer;

// ---- Checks before timing --------------------------------------------------

// Whether the library opens the slave under this name in tarvik.ini.
bool opens_slave(const std::string &name) {
    g_port_name = name;
    std::string dir = make_ini_dir(20);
    if (chdir(dir.c_str()) != 0) die("chdir failed");
    std::fflush(stdout);
    int fd = serial_open();
    struct stat mine, got;
    bool same = fd >= 0 && fstat(fd, &got) == 0 && fstat(printer().slave(), &mine) == 0 &&
                got.st_rdev == mine.st_rdev;
    if (fd >= 0) serial_close(fd);
    unlink("tarvik.ini");
    rmdir(dir.c_str());
    return same;
}

// The library reaches the slave by its own name when it takes long device
// names, else through /dev/fd. The probe's name, cut to five characters,
// is a directory, so a library that cuts names opens no other terminal.
void choose_port_name() {
    std::string fd = std::to_string(printer().slave());
    if (opens_slave("fd/../fd/" + fd) && opens_slave(printer().pts().substr(5))) return;
    if (!opens_slave("fd/" + fd)) die("the library does not open the pseudo-terminal");
}

void expect_bytes(const char *who, const Command &c, const std::function<void()> &run) {
    std::string want = joined(c);
    printer().record();
    run();
    std::string got = printer().take(want.size());
    if (got != want)
        die(std::string(who) + " " + c.name + " sent " + std::to_string(got.size()) +
            " bytes unlike the " + std::to_string(want.size()) + " expected");
}

void check_all() {
    for (std::size_t s = 0; s < g_dirs.size(); ++s) {
        enter(static_cast<int>(s));
        for (const Command &c : commands()) {
            expect_bytes("library", c, c.library);
            expect_bytes("floor", c, [&] { floor_run(c); });
            if (g_peer.ok())
                expect_bytes("peer", c, [&] {
                    if (g_peer.run(c.name, g_dirs[s]) < 0) die("the peer stopped");
                });
        }
    }
}

// ---- The benchmarks --------------------------------------------------------

double median(std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

double seconds_of(const std::function<void()> &run) {
    auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The library, the floor and the peer one after the other in each
// iteration, in turns, so that a noisy moment on the machine falls on all
// three alike. The turns go through all six orders, so that the library and
// the floor follow the peer equally often: rotating one order seated the
// library after the peer in two iterations of three, and measured it up to
// 1.4 times the floor where alone it was no slower. The iteration time is
// the library's; the counters hold the three medians in nanoseconds and the
// ratios of the medians.
const int kOrders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};

void interleaved(benchmark::State &state, const Command &c, std::size_t s) {
    enter(static_cast<int>(s));
    std::vector<double> lib, flo, peer;
    std::size_t turn = 0;
    for (auto _ : state) {
        double t_lib = 0;
        for (std::size_t j = 0; j < 3; ++j) {
            switch (kOrders[turn % 6][j]) {
            case 0:
                lib.push_back(t_lib = seconds_of(c.library));
                break;
            case 1:
                flo.push_back(seconds_of([&] { floor_run(c); }));
                break;
            default:
                if (!g_peer.ok()) break;
                double t = g_peer.run(c.name, g_dirs[s]);
                if (t < 0) die("the peer stopped");
                peer.push_back(t);
            }
        }
        ++turn;
        state.SetIterationTime(t_lib);
    }
    double m_lib = median(lib), m_flo = median(flo);
    state.counters["bytes"] = static_cast<double>(joined(c).size());
    state.counters["library_ns"] = m_lib * 1e9;
    state.counters["floor_ns"] = m_flo * 1e9;
    state.counters["library/floor"] = m_lib / m_flo;
    if (!peer.empty()) {
        state.counters["peer_ns"] = median(peer) * 1e9;
        state.counters["peer/library"] = median(peer) / m_lib;
    }
}

void register_all() {
    for (std::size_t s = 0; s < g_dirs.size(); ++s) {
        int size = static_cast<int>(s);
        for (const Command &c : commands()) {
            std::string base = std::string(c.name) + "/" + std::to_string(kSizes[s]) + "/";
            benchmark::RegisterBenchmark((base + "library").c_str(),
                                         [&c, size](benchmark::State &state) {
                                             enter(size);
                                             for (auto _ : state)
                                                 c.library();
                                             state.counters["bytes"] = joined(c).size();
                                         });
            benchmark::RegisterBenchmark((base + "floor").c_str(),
                                         [&c, size](benchmark::State &state) {
                                             enter(size);
                                             for (auto _ : state)
                                                 floor_run(c);
                                             state.counters["bytes"] = joined(c).size();
                                         });
            benchmark::RegisterBenchmark(
                (base + "interleaved").c_str(),
                [&c, s](benchmark::State &state) { interleaved(state, c, s); })
                ->UseManualTime();
            if (!g_peer.ok()) continue;
            benchmark::RegisterBenchmark((base + "peer").c_str(), [&c, s](benchmark::State &state) {
                for (auto _ : state) {
                    double t = g_peer.run(c.name, g_dirs[s]);
                    if (t < 0) {
                        state.SkipWithError("the peer stopped");
                        break;
                    }
                    state.SetIterationTime(t);
                }
                state.counters["bytes"] = joined(c).size();
            })->UseManualTime();
        }
    }
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    signal(SIGPIPE, SIG_IGN);

    choose_port_name();
    for (int lines : kSizes)
        g_dirs.push_back(make_ini_dir(lines));
    if (!g_peer.start())
        std::fprintf(stderr, "tarvik_bench: python3 with pyserial is missing: no peer timings\n");
    check_all();

    register_all();
    benchmark::AddCustomContext("port", "/dev/" + g_port_name);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_peer.stop();
    remove_ini_dirs();
    return 0;
}
