// Endurance: a long run of mixed commands in one process leaves no trace.
// The descriptors and the resident memory are the same after as before, the
// printer's line has its own settings back after every command, and the
// printer gets every byte. The short loop also runs under valgrind.
#include "support/api.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

// Reads the printer's side of the line as fast as it comes, counting bytes,
// so that the commands never wait on a full buffer.
class Drain {
  public:
    explicit Drain(int master) : master_(master) {
        if (pipe(stop_) != 0) throw std::runtime_error("pipe failed");
        thread_ = std::thread([this] { run(); });
    }
    ~Drain() {
        char c = 0;
        if (write(stop_[1], &c, 1) != 1) std::perror("write");
        thread_.join();
        close(stop_[0]);
        close(stop_[1]);
    }
    // Waits until count bytes in all have come, or a pause of five seconds.
    std::size_t wait_for(std::size_t count) {
        for (int idle = 0; got_.load() < count && idle < 500; ++idle) {
            std::size_t seen = got_.load();
            poll(nullptr, 0, 10);
            if (got_.load() != seen) idle = 0;
        }
        return got_.load();
    }

  private:
    void run() {
        char buf[4096];
        for (;;) {
            pollfd p[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 && errno == EINTR) continue;
            if (p[1].revents != 0) return;
            if (p[0].revents & POLLIN) {
                ssize_t n = read(master_, buf, sizeof buf);
                if (n > 0) got_ += static_cast<std::size_t>(n);
            }
        }
    }

    int master_;
    int stop_[2] = {-1, -1};
    std::atomic<std::size_t> got_{0};
    std::thread thread_;
};

// Resident anonymous memory in kB: where a leak shows. File pages are left
// out, as the system may drop them from memory at any time.
long resident_anon_kb() {
    long kb = -1;
    FILE *f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "RssAnon: %ld kB", &kb) == 1) break;
    std::fclose(f);
    return kb;
}

bool same_line(const termios &a, const termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

char text40[] = "PAGAMENTO EFETUADO EM 15/03/2004 AGENCIA";
char chk1[] = "PAGUE POR ESTE CHEQUE", chk2[] = "FULANO DE TAL", date[] = "15/03/2004";
char bad_date[] = "15//04", amount[] = "1.234,56", chk5[] = "SAO PAULO", chk6[] = "";
char bank[] = "237", abc[] = "abc";

// One command of the mix: what it returns and how many bytes it sends.
struct Step {
    std::function<int()> run;
    int result;
    std::size_t bytes;
};

const std::vector<Step> &mix() {
    static const std::vector<Step> steps = {
        {[] { return tarvlf(3); }, 1, 4},
        {[] { return tarvtxt('0', 'N', text40); }, 1, 45},
        {[] { return tarvaut('0', 'N', 'Y', text40); }, 1, 47},
        {[] { return tarvversotxt('0', 'N', text40); }, 1, 44},
        {[] { return tarvabreverso(); }, 1, 10},
        {[] { return tarvfechaverso(); }, 1, 8},
        {[] { return tarvcheque(chk1, chk2, date, amount, chk5, chk6, bank); }, 1, 151},
        // A date that is no date: nothing sent, "data invalida" printed.
        {[] { return tarvcheque(chk1, chk2, bad_date, amount, chk5, chk6, bank); }, 0, 0},
        {[] {
             int fd = serial_open();
             if (fd < 0) return 0;
             serial_puts(fd, abc);
             return serial_close(fd) == 0 ? 1 : 0;
         },
         1, 3},
    };
    return steps;
}

// Runs count commands from the mix against a drained printer.
void endure(int count, bool check_memory) {
    th::WorkDir dir;
    th::Pty pty;
    dir.write_ini("; impressora de cheques\nPorta=" + pty.name() + "\n237 05,15,08,06,06,05,05\n");
    pty.apply(th::odd_settings());
    const termios before = pty.settings();
    Drain drain(pty.master());
    th::StdoutCapture capture; // the bad dates' reports
    const std::vector<Step> &steps = mix();

    // A first stretch, and the measures themselves, settle what the process
    // allocates once for good.
    std::size_t bytes = 0;
    for (int round = 0; round < 100; ++round) {
        for (const Step &s : steps) {
            ASSERT_EQ(s.result, s.run());
            bytes += s.bytes;
        }
    }
    th::open_descriptors();
    resident_anon_kb();
    const int fds = th::open_descriptors();
    const long anon = resident_anon_kb();

    int failed_at = -1, failed_result = 0;
    termios failed_line{};
    for (int i = 0; i < count; ++i) {
        const Step &s = steps[static_cast<std::size_t>(i) % steps.size()];
        int result = s.run();
        bytes += s.bytes;
        termios now{};
        tcgetattr(pty.slave(), &now);
        if (result != s.result || !same_line(now, before)) {
            failed_at = i;
            failed_result = result;
            failed_line = now;
            break;
        }
    }
    const int fds_after = th::open_descriptors();
    const long anon_after = resident_anon_kb();
    // Failures are reported once standard output is back.
    std::string out = capture.finish();

    if (failed_at >= 0) {
        ADD_FAILURE() << "command " << failed_at << " gave " << failed_result;
        th::expect_same_settings(failed_line, before);
    }
    EXPECT_EQ(fds, fds_after);
    // Memory that grows with the count shows here: a leak of even one small
    // block per command would be megabytes.
    if (check_memory) {
        EXPECT_EQ(anon, anon_after) << "resident anonymous kB";
    }
    EXPECT_EQ(bytes, drain.wait_for(bytes));
    std::size_t bad = 0;
    for (std::size_t at = out.find("data invalida"); at != std::string::npos;
         at = out.find("data invalida", at + 1))
        ++bad;
    EXPECT_EQ(bad * std::strlen("data invalida"), out.size()) << "other reports came";
    // The bad date's turns: its place in each round, and the first stretch.
    EXPECT_EQ((static_cast<std::size_t>(count) + steps.size() - 8) / steps.size() + 100, bad);
}

TEST(Endurance, HundredThousandMixedCommands) {
    endure(100000, true);
}

// Under valgrind, where the memory figures are valgrind's own.
TEST(Endurance, ShortMixedLoop) {
    endure(500, false);
}

} // namespace
