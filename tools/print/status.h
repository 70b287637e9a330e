// tarvik-print status: whether the printer is ready, from the same look at
// tarvik.ini and the device as the doctor's. A function over data, as the
// doctor's findings are.
#ifndef TARVIK_PRINT_STATUS_H
#define TARVIK_PRINT_STATUS_H

#include "probe.h"

#include <optional>
#include <string>

namespace tarvik_print::status {

struct Printer {
    enum class State { ready, no_port, not_ready, cannot_tell }; // in exit status order
    State state = State::no_port;
    std::optional<std::string> device;   // the path the port entry names
    std::optional<bool> cts, dsr, dcd;   // as seen, when the lines were read
    std::optional<probe::Holder> holder; // when locked; pid 0 if not found
    std::string message;
};

Printer of(const probe::Ini &ini, const probe::Device &device);

// "ready", "not_ready", "cannot_tell", "no_port".
const char *state_name(Printer::State state);

// 0 ready, 1 no port, 2 not ready, 3 cannot tell.
int exit_status(Printer::State state);

} // namespace tarvik_print::status

#endif
