// The serial link: opens the configured device, applies the printer's line
// settings and puts the device's own settings back on close.
#include "tarvik.h"

#include "link.h"
#include "text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

// Closes fd without disturbing errno, which the caller's report shows.
void release(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
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

} // namespace

int serial_open() {
    char path[kPortPath];
    if (!port_lookup(path)) {
        errno = ENOENT;
        return -1;
    }
    // O_NOCTTY: a daemon that prints must not get the printer as its
    // controlling terminal, nor a hang-up from it.
    int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;

    struct termios found;
    if (tcgetattr(fd, &found) != 0) {
        std::fprintf(stdout, "error reading terminal settings.\n");
        release(fd);
        return -2;
    }
    tsave = found;
    tsave_valid = true;

    printer_settings(tcur);
    if (tcsetattr(fd, TCSANOW, &tcur) != 0) {
        release(fd);
        return -3;
    }
    return fd;
}

int serial_close(int fd) {
    if (tsave_valid) tcsetattr(fd, TCSAFLUSH, &tsave);
    return close(fd);
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

void link_send(int fd, const char *data, std::size_t n) {
    while (n > 0) {
        ssize_t put = write(fd, data, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return; // the device reported an error
        data += put;
        n -= static_cast<std::size_t>(put);
    }
}
