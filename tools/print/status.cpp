#include "status.h"

#include <cstring>
#include <sys/ioctl.h>

namespace doctor {

Status status_of(const Ini &ini, const Probe &probe) {
    using S = Status::State;
    Status st;
    st.device = device_path(ini);
    if (!st.device || probe.state != Probe::State::opened) {
        // The first error that the doctor finds says why; it has the hint.
        for (const Finding &f : examine(ini, probe))
            if (f.level == Level::error) {
                st.message = f.message + " Run tarvik-print doctor for how to mend it.";
                break;
            }
        return st;
    }
    const std::string &path = *st.device;
    if (probe.locked) st.holder = probe.holder;
    const Modem &m = probe.modem;
    if (m.err == ENOTTY) {
        st.state = S::cannot_tell;
        st.message = path + " has no modem lines, as a pseudo-terminal or a port carried over the "
                            "network has none: whether the printer is ready cannot be told.";
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

const char *state_name(Status::State state) {
    switch (state) {
    case Status::State::ready:
        return "ready";
    case Status::State::not_ready:
        return "not_ready";
    case Status::State::cannot_tell:
        return "cannot_tell";
    case Status::State::no_port:
        break;
    }
    return "no_port";
}

int exit_status(Status::State state) {
    return static_cast<int>(state);
}

} // namespace doctor
