// Preloaded into QEMU (7.2), whose emulated 16550 has its host side on a
// pseudo-terminal. It makes that pseudo-terminal behave like a wire:
//  - TIOCMGET answers CTS from a one-byte control file ('1' on, '0' off),
//    with DSR and DCD always on; TIOCMSET, which a pseudo-terminal refuses,
//    only records DTR and RTS;
//  - each byte written to it holds the line for one character time at the
//    speed and frame the guest programmed, so the guest's transmitter stays
//    busy as on a real line;
//  - everything is logged on CLOCK_MONOTONIC, one line per event:
//      P ns baud frame   the guest programmed speed and frame (e.g. 9600 8N1)
//      M ns dtr rts      the guest set its modem outputs
//      C ns cts          the guest read a new CTS state
//      T ns hex          a byte left for the pseudo-terminal
// Relies on QEMU's tty chardev calling tcsetattr, ioctl(TIOCMGET/TIOCMSET),
// write, writev and ppoll through libc, and on its 16550 retrying a byte
// refused with EAGAIN once the descriptor polls writable. The stage compares
// this log's byte count with what arrives, so a QEMU that works otherwise
// fails the stage instead of passing it unpaced.
// Environment: TARVIK_UART_PTY (the slave's path), TARVIK_UART_CTL, TARVIK_UART_LOG.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_once_t once = PTHREAD_ONCE_INIT;
static dev_t pty_dev;
static int have_pty;
static int log_fd = -1;
static volatile const char *cts_ctl;
static int modem_out; // TIOCM_DTR | TIOCM_RTS as last set
static int last_cts = -1;
static long long char_ns = 1000000000LL * 10 / 115200;
static long long line_free; // when the last held byte has left

static ssize_t (*real_write)(int, const void *, size_t);
static ssize_t (*real_writev)(int, const struct iovec *, int);
static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_tcsetattr)(int, int, const struct termios *);
static int (*real_ppoll)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static void init(void) {
    real_write = dlsym(RTLD_NEXT, "write");
    real_writev = dlsym(RTLD_NEXT, "writev");
    real_ioctl = dlsym(RTLD_NEXT, "ioctl");
    real_tcsetattr = dlsym(RTLD_NEXT, "tcsetattr");
    real_ppoll = dlsym(RTLD_NEXT, "ppoll");
    const char *pty = getenv("TARVIK_UART_PTY");
    struct stat st;
    if (pty && stat(pty, &st) == 0) {
        pty_dev = st.st_rdev;
        have_pty = 1;
    }
    const char *log = getenv("TARVIK_UART_LOG");
    if (log) log_fd = open(log, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    const char *ctl = getenv("TARVIK_UART_CTL");
    int fd = ctl ? open(ctl, O_RDONLY | O_CLOEXEC) : -1;
    if (fd >= 0) {
        void *m = mmap(NULL, 1, PROT_READ, MAP_SHARED, fd, 0);
        if (m != MAP_FAILED) cts_ctl = m;
        close(fd);
    }
}

static int is_pty(int fd) {
    pthread_once(&once, init);
    struct stat st;
    return have_pty && fd > 2 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == pty_dev;
}

// Called with lock held.
static void logf_locked(const char *fmt, ...) {
    if (log_fd < 0) return;
    char line[8192];
    int n = snprintf(line, sizeof line, "%c %lld", fmt[0], now_ns());
    va_list ap;
    va_start(ap, fmt);
    n += vsnprintf(line + n, sizeof line - (size_t)n, fmt + 1, ap);
    va_end(ap);
    if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
    line[n++] = '\n';
    real_write(log_fd, line, (size_t)n);
}

// A byte leaves when the line is free and then holds it one character time.
// Until then the write reports EAGAIN: QEMU keeps the byte in its transmitter
// (transmitter-empty stays clear) and waits for the descriptor to become
// writable, which the poll wrappers below withhold until the line is free.
static ssize_t held_write(int fd, const unsigned char *p) {
    pthread_mutex_lock(&lock);
    long long now = now_ns();
    if (now < line_free) {
        pthread_mutex_unlock(&lock);
        errno = EAGAIN;
        return -1;
    }
    // One byte at a time, as a transmitter sends them.
    ssize_t put = real_write(fd, p, 1);
    if (put > 0) {
        line_free = now + char_ns;
        logf_locked("T %02x", p[0]);
    }
    pthread_mutex_unlock(&lock);
    return put;
}

ssize_t write(int fd, const void *buf, size_t n) {
    if (n == 0 || !is_pty(fd)) return real_write(fd, buf, n);
    return held_write(fd, buf);
}

ssize_t writev(int fd, const struct iovec *iov, int cnt) {
    if (!is_pty(fd)) return real_writev(fd, iov, cnt);
    for (int i = 0; i < cnt; i++)
        if (iov[i].iov_len > 0) return held_write(fd, iov[i].iov_base);
    return 0;
}

// While the line is busy, a wait for the pseudo-terminal to become writable
// waits no longer than until the line is free, and does not report it
// writable before then.
static int held_poll(struct pollfd *fds, nfds_t n, const struct timespec *timeout,
                     const sigset_t *mask) {
    pthread_once(&once, init);
    long long busy = 0;
    nfds_t held = n;
    for (nfds_t i = 0; i < n; i++) {
        if (fds[i].fd >= 0 && (fds[i].events & POLLOUT) && is_pty(fds[i].fd)) {
            pthread_mutex_lock(&lock);
            busy = line_free - now_ns();
            pthread_mutex_unlock(&lock);
            if (busy > 0) held = i;
            break;
        }
    }
    if (held == n) return real_ppoll(fds, n, timeout, mask);
    struct timespec shorter = {busy / 1000000000LL, busy % 1000000000LL};
    if (timeout && (timeout->tv_sec < shorter.tv_sec ||
                    (timeout->tv_sec == shorter.tv_sec && timeout->tv_nsec < shorter.tv_nsec)))
        shorter = *timeout;
    short events = fds[held].events;
    fds[held].events = (short)(events & ~POLLOUT);
    int r = real_ppoll(fds, n, &shorter, mask);
    fds[held].events = events;
    return r;
}

int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *timeout, const sigset_t *mask) {
    return held_poll(fds, n, timeout, mask);
}

int poll(struct pollfd *fds, nfds_t n, int ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    return held_poll(fds, n, ms < 0 ? NULL : &t, NULL);
}

static unsigned baud_of(speed_t s) {
    static const struct {
        speed_t code;
        unsigned baud;
    } table[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
                 {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},
                 {B1200, 1200},     {B1800, 1800},     {B2400, 2400},     {B4800, 4800},
                 {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
                 {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (size_t i = 0; i < sizeof table / sizeof table[0]; i++)
        if (table[i].code == s) return table[i].baud;
    return 0;
}

int tcsetattr(int fd, int when, const struct termios *t) {
    if (!is_pty(fd)) return real_tcsetattr(fd, when, t);
    unsigned baud = baud_of(cfgetospeed(t));
    int data = 5 + (int)((t->c_cflag & CSIZE) == CS6) + 2 * (int)((t->c_cflag & CSIZE) == CS7) +
               3 * (int)((t->c_cflag & CSIZE) == CS8);
    char parity = !(t->c_cflag & PARENB) ? 'N' : (t->c_cflag & PARODD) ? 'O' : 'E';
    int stop = (t->c_cflag & CSTOPB) ? 2 : 1;
    pthread_mutex_lock(&lock);
    if (baud) char_ns = 1000000000LL * (1 + data + (parity != 'N') + stop) / baud;
    logf_locked("P %u %d%c%d", baud, data, parity, stop);
    pthread_mutex_unlock(&lock);
    return real_tcsetattr(fd, when, t);
}

int ioctl(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if ((req != TIOCMGET && req != TIOCMSET && req != TIOCMBIS && req != TIOCMBIC) || !is_pty(fd))
        return real_ioctl(fd, req, arg);
    int *bits = arg;
    pthread_mutex_lock(&lock);
    if (req == TIOCMGET) {
        int cts = cts_ctl ? cts_ctl[0] == '1' : 1;
        if (cts != last_cts) logf_locked("C %d", cts);
        last_cts = cts;
        *bits = modem_out | TIOCM_DSR | TIOCM_CAR | (cts ? TIOCM_CTS : 0);
    } else {
        int want = *bits & (TIOCM_DTR | TIOCM_RTS);
        int out = req == TIOCMSET ? want : req == TIOCMBIS ? modem_out | want : modem_out & ~want;
        if (out != modem_out) logf_locked("M %d %d", !!(out & TIOCM_DTR), !!(out & TIOCM_RTS));
        modem_out = out;
    }
    pthread_mutex_unlock(&lock);
    return 0;
}
