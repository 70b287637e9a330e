// The serial link: opens the configured device, applies the printer's line
// settings and puts the device's own settings back on close.
#include "tarvik.h"

#include "link.h"
#include "protocol.h"
#include "text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// The device's settings as the last serial_open found them, and the settings
// it applied. Library-wide, hence one port at a time.
struct termios tsave;
struct termios tcur;

namespace {

// Set once tsave holds real settings: restoring the all-zero record would
// set speed 0 and hang up the line.
bool tsave_valid = false;

// The descriptor that holds the device's lock, and the process that took it.
// A second open of the same device while it is held (an application holding
// the port and calling a command) neither waits for the lock, which would
// never come, nor saves the printer's settings as the device's own. A child
// forked meanwhile has another pid and takes the lock for itself.
struct Hold {
    int fd = -1;
    pid_t pid = 0;
};
Hold hold;

bool held_here() {
    return hold.fd >= 0 && hold.pid == getpid();
}

// Whether this process holds a device through serial_open, in held. The
// descriptor is asked only when there is a hold, so that a plain command
// makes no extra call. One closed behind the library's back holds nothing;
// but its number opened again onto another device (say /dev/null) still
// counts as held, and other devices are refused until it is closed.
bool held_device(struct stat &held) {
    return held_here() && fstat(hold.fd, &held) == 0 && S_ISCHR(held.st_mode);
}

// Whether path names another file than held.
bool other_device(const char *path, const struct stat &held) {
    struct stat st {};
    return stat(path, &st) == 0 && (st.st_dev != held.st_dev || st.st_ino != held.st_ino);
}

// Closes fd without disturbing errno, which the caller's report shows.
void release(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

// Keeps the port off descriptors 0 to 2: with standard output closed, as in
// a daemon, a report must never be written to the printer.
int above_stdio(int fd) {
    if (fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    release(fd);
    return moved;
}

// 9600 baud, 8N1, receiver on, modem lines ignored, RTS/CTS; everything else
// zero, which is raw with VMIN = VTIME = 0.
void printer_settings(struct termios &t) {
    std::memset(&t, 0, sizeof t);
    t.c_cflag = CS8 | CREAD | CLOCAL | CRTSCTS;
#if defined(CBAUD) && (B9600 & ~CBAUD) == 0
    t.c_cflag |= B9600; // the speed is a bit pattern in the control word
#else
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
#endif
}

// Puts the saved settings back once the printer has taken every byte, or at
// once with what is still queued dropped: when drop is set (a command whose
// bytes did not all go), or when the wait fails. A signal cuts it short (an
// application bounding it with a timer), and a line that has hung up or that
// this process may not change fails it (EIO): then nothing tells that the
// bytes left. So the line stays at the printer's settings only on a device
// that refuses every change. Returns false when the output was dropped, with
// errno the wait's, or with drop the caller's.
bool restore(int fd, bool drop) {
    if (!tsave_valid) return !drop;
    if (!drop && tcsetattr(fd, TCSAFLUSH, &tsave) == 0) return true;
    int err = errno;
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSANOW, &tsave);
    errno = err;
    return false;
}

} // namespace

int serial_open() {
    char path[kPortPath];
    switch (port_lookup(path)) {
    case Lookup::found:
        break;
    case Lookup::none:
        errno = ENOENT;
        return -1;
    case Lookup::transient:
        return -1;
    case Lookup::missing:
        ini_missing();
    }
    // While this process holds a port, tsave holds that port's own settings:
    // another device is refused, not opened, so that nothing takes their
    // place (and no open waits for another line's carrier).
    struct stat device {};
    const bool held = held_device(device);
    if (held && other_device(path, device)) {
        errno = EBUSY;
        return -1;
    }
    // O_NOCTTY: a daemon that prints must not get the printer as its
    // controlling terminal, nor a hang-up from it.
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    fd = above_stdio(fd);
    if (fd < 0) return -1;

    if (held) {
        // This process holds the port already: the line is set, its own
        // settings are saved, and the lock is ours.
        return fd;
    }

    // One program at a time on the printer: a command waits here while
    // another holds the port. A signal ends the wait and fails the open.
    if (flock(fd, LOCK_EX) != 0) {
        release(fd);
        return -1;
    }
    struct termios found;
    if (tcgetattr(fd, &found) != 0) {
        release(fd); // also lets the lock go
        std::fprintf(stdout, "%s\n", protocol::kNotTerminalReport);
        return -2;
    }
    tsave = found;
    tsave_valid = true;

    printer_settings(tcur);
    if (tcsetattr(fd, TCSANOW, &tcur) != 0) {
        release(fd);
        return -3;
    }
    hold = Hold{fd, getpid()};
    return fd;
}

int link_close(int fd, bool drop, bool &drained) {
    drained = !drop;
    const bool here = held_here(); // one getpid for the whole close
    if (here && fd != hold.fd) {
        // A nested open: its bytes go out, and the line stays the outer
        // holder's to restore. Bytes that are not to go, or whose wait failed
        // (a signal cut it short), are dropped: left queued, they would hold
        // up the holder's own close.
        if (drop || tcdrain(fd) != 0) {
            int err = errno;
            tcflush(fd, TCOFLUSH);
            errno = err;
            drained = false;
        }
        return close(fd);
    }
    if (fd == hold.fd && hold.fd >= 0 && !here) {
        // A forked child closing its copy of the parent's port: the lock and
        // the line are the parent's.
        return close(fd);
    }
    // A descriptor that does not hold the lock (a nested one closed after the
    // outer one, or one the application opened itself) restores the line only
    // while no other process holds the port.
    if (fd != hold.fd && flock(fd, LOCK_EX | LOCK_NB) != 0) return close(fd);
    drained = restore(fd, drop);
    int err = errno;
    // Unlock before closing: a forked child sharing the descriptor would
    // otherwise keep the lock held after this close.
    flock(fd, LOCK_UN);
    if (fd == hold.fd) hold = Hold{};
    int closed = close(fd);
    errno = err;
    return closed;
}

int serial_close(int fd) {
    bool drained;
    return link_close(fd, false, drained);
}

void ini_missing() {
    // The process ends: a port it holds goes back as it was found first.
    if (held_here()) serial_close(hold.fd);
    std::fprintf(stdout, "%s", protocol::kIniMissingReport);
    std::exit(1);
}

int serial_puts(int fd, char *text) {
    const char *t = or_empty(text);
    return static_cast<int>(write(fd, t, std::strlen(t)));
}

int serial_putn(int fd, char *data, int n) {
    if (n < 0 || (data == nullptr && n > 0)) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(write(fd, data != nullptr ? data : "", static_cast<size_t>(n)));
}

int serial_gets(int fd, char *buf, int size) {
    if (buf == nullptr || size < 0) return 0;
    ssize_t got = read(fd, buf, static_cast<size_t>(size));
    if (got < 0) return 0;
    buf[got] = '\0';
    return static_cast<int>(got);
}

bool link_send(int fd, const char *data, std::size_t n) {
    while (n > 0) {
        // A signal that comes before any byte is taken ends the command: that
        // is how an application bounds a write that the printer holds up.
        ssize_t put = write(fd, data, n);
        if (put < 0) return false;
        if (put == 0) {
            errno = EIO; // a device that takes nothing would be waited on for ever
            return false;
        }
        data += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}
