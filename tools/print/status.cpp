#include "status.h"

#include "doctor.h"

#include <cstring>
#include <sys/ioctl.h>

namespace tarvik_print::status {

Printer of(const probe::Ini &ini, const probe::Device &device) {
    using S = Printer::State;
    Printer st;
    st.device = probe::device_path(ini);
    if (!st.device || device.state != probe::Device::State::opened) {
        // The first error that the doctor finds says why; it has the hint.
        for (const doctor::Finding &f : doctor::examine(ini, device))
            if (f.level == doctor::Level::error) {
                st.message = f.message + " Run tarvik-print doctor for how to mend it.";
                break;
            }
        return st;
    }
    const std::string &path = *st.device;
    if (device.locked) st.holder = device.holder;
    const probe::Modem &m = device.modem;
    if (m.err == ENOTTY) {
        st.state = S::cannot_tell;
        st.message = path + " " + doctor::kNoModemLines;
        return st;
    }
    if (m.err != 0) {
        st.message = path + ": its modem lines cannot be read: errno " + std::to_string(m.err) +
                     " " + std::strerror(m.err) + ". Run tarvik-print doctor.";
        return st;
    }
    st.cts = (m.bits & TIOCM_CTS) != 0;
    st.dsr = (m.bits & TIOCM_DSR) != 0;
    st.dcd = (m.bits & TIOCM_CAR) != 0;
    if (*st.cts) {
        st.state = S::ready;
        st.message = path + ": CTS is on: the printer takes bytes.";
    } else {
        st.state = S::not_ready;
        st.message = path +
                     ": CTS is off, which usually means that the printer is switched off, out of "
                     "paper or has its cover open, or that the cable is out. Commands wait until "
                     "it takes the bytes.";
    }
    return st;
}

const char *state_name(Printer::State state) {
    switch (state) {
    case Printer::State::ready:
        return "ready";
    case Printer::State::not_ready:
        return "not_ready";
    case Printer::State::cannot_tell:
        return "cannot_tell";
    case Printer::State::no_port:
        break;
    }
    return "no_port";
}

int exit_status(Printer::State state) {
    return static_cast<int>(state);
}

} // namespace tarvik_print::status
