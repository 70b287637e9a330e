// The bounded wait that the programs put around a library call: a repeating
// timer after the bound, and the signals that end a wait (and then the
// program) handled so that the call returns with the line restored first.
#ifndef TARVIK_TOOLS_BOUNDED_H
#define TARVIK_TOOLS_BOUNDED_H

#include <initializer_list>

namespace bounded {

// A bound in microseconds, above 0; 0 is no bound.
using Micros = long long;

// SECONDS as the programs take it: digits with at most one point ("30",
// "0.5", ".5"), above 0 and at most INT_MAX. No sign, exponent, "inf" or
// "nan"; the point is the C locale's. Gives 0 for anything else. Rounded up,
// so that a bound below a microsecond is not taken for none.
Micros parse_seconds(const char *text);

// What cut a wait short, if anything did.
enum class End {
    finished, // nothing came
    bound,    // the timer ran out
    poked,    // another thread asked for it (poke)
    signal,   // one of the stops came (stop() tells which)
};

// Handles SIGALRM for the timer and each of stops as a signal that ends a
// wait, without SA_RESTART, and unblocks them (a parent may leave SIGALRM
// blocked, and then no wait would ever end). ignored are ignored. Once per
// process, before the first Run.
void handle(std::initializer_list<int> stops, std::initializer_list<int> ignored = {});

// One bounded stretch of calls: arms the timer on construction, disarms it
// on destruction. One at a time per process.
class Run {
  public:
    explicit Run(Micros bound);
    ~Run();
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    End end() const;
    // Whether a call that failed with err was cut short by what came.
    bool cut(int err) const;
    // Stops the timer; what came is still told.
    void disarm();
};

// Ends the running wait as a stop does, but for another reason: from
// another thread, or from a handler. The caller makes sure that a Run is
// running, as a tick left armed would cut the next one.
void poke();

// The first stop that came since handle(), or 0. It may have come between
// runs: the program then ends on its own terms with die().
int stop();

// The stop takes its course: its default action, with no tick left to beat
// it. Returns only if that does not end the program.
void die(int sig);

} // namespace bounded

#endif
