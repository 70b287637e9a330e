#include "bounded.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>

namespace bounded {
namespace {

volatile sig_atomic_t fired = 0;   // the timer ran out
volatile sig_atomic_t poked = 0;   // poke() came
volatile sig_atomic_t stopped = 0; // the first stop that came

// After the bound, and after a stop or a poke, the timer ticks every 0.1 s
// until the run ends: a signal that catches a write after it took some bytes
// only cuts it short, and the library writes on.
constexpr suseconds_t kTick = 100000;

void tick_now() {
    // setitimer is a bare system call in glibc, safe in a handler.
    const itimerval ticks{{0, kTick}, {0, 1}};
    setitimer(ITIMER_REAL, &ticks, nullptr);
}

void on_timer(int) {
    fired = 1;
}

void on_stop(int sig) {
    if (stopped == 0) stopped = sig;
    tick_now();
}

} // namespace

Micros parse_seconds(const char *text) {
    const char *digits = "0123456789";
    if (std::strspn(text, "0123456789.") != std::strlen(text) ||
        std::strchr(text, '.') != std::strrchr(text, '.') || std::strpbrk(text, digits) == nullptr)
        return 0;
    double seconds = std::strtod(text, nullptr);
    if (!(seconds > 0) || seconds > INT_MAX) return 0;
    return static_cast<Micros>(std::ceil(seconds * 1e6));
}

void handle(std::initializer_list<int> stops, std::initializer_list<int> ignored) {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_timer;
    sigaction(SIGALRM, &sa, nullptr);
    sigset_t mine;
    sigemptyset(&mine);
    sigaddset(&mine, SIGALRM);
    sa.sa_handler = on_stop;
    for (int sig : stops) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&mine, sig);
    }
    sa.sa_handler = SIG_IGN;
    for (int sig : ignored)
        sigaction(sig, &sa, nullptr);
    sigprocmask(SIG_UNBLOCK, &mine, nullptr);
}

Run::Run(Micros bound) {
    fired = 0;
    poked = 0;
    if (bound <= 0) return;
    itimerval timer{};
    timer.it_value.tv_sec = static_cast<time_t>(bound / 1000000);
    timer.it_value.tv_usec = static_cast<suseconds_t>(bound % 1000000);
    timer.it_interval.tv_usec = kTick;
    setitimer(ITIMER_REAL, &timer, nullptr);
}

Run::~Run() {
    disarm();
}

void Run::disarm() {
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
}

End Run::end() const {
    if (stopped != 0) return End::signal;
    if (poked != 0) return End::poked;
    return fired != 0 ? End::bound : End::finished;
}

bool Run::cut(int err) const {
    return err == EINTR && end() != End::finished;
}

void poke() {
    poked = 1;
    tick_now();
}

int stop() {
    return stopped;
}

void die(int sig) {
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    std::signal(SIGALRM, SIG_IGN);
    std::signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
}

} // namespace bounded
