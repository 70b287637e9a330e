#include "harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace th {

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("posix_openpt failed");
    path_ = ptsname(master_);
    // The test holds the slave too, to read and set the line between calls.
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) throw std::runtime_error("cannot open the slave");
}

Pty::~Pty() {
    close(slave_);
    close(master_);
}

std::string Pty::name() const {
    return path_.substr(5); // "pts/N", after "/dev/"
}

termios Pty::settings() const {
    termios t{};
    EXPECT_EQ(0, tcgetattr(slave_, &t));
    return t;
}

void Pty::apply(const termios &t) {
    EXPECT_EQ(0, tcsetattr(slave_, TCSANOW, &t));
}

std::string Pty::read(std::size_t count, int settle_ms) {
    std::string got;
    char buf[4096];
    for (;;) {
        // Wait long for what is expected, briefly for anything beyond it.
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, got.size() < count ? 5000 : settle_ms) <= 0) break;
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) break;
        // In packet mode each read gives either the queues dropped or, after
        // a zero byte, the bytes.
        if (packets_ && buf[0] != TIOCPKT_DATA)
            flushed_ |= buf[0];
        else
            got.append(buf + (packets_ ? 1 : 0), static_cast<std::size_t>(n - (packets_ ? 1 : 0)));
    }
    return got;
}

void Pty::watch_flushes() {
    int on = 1;
    ASSERT_EQ(0, ioctl(master_, TIOCPKT, &on));
    packets_ = true;
}

int Pty::flushed() {
    read(0, 0);
    int queues = flushed_;
    flushed_ = 0;
    return queues;
}

void Pty::wait_input(std::size_t count) const {
    int queued = 0;
    while (ioctl(slave_, FIONREAD, &queued) == 0 && static_cast<std::size_t>(queued) < count) {
        pollfd p{slave_, POLLIN, 0};
        poll(&p, 1, 10);
    }
}

std::size_t Pty::input_queued() const {
    int queued = -1;
    EXPECT_EQ(0, ioctl(slave_, FIONREAD, &queued));
    return static_cast<std::size_t>(queued);
}

void Pty::send(const std::string &bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(master_, bytes.data(), bytes.size()));
}

termios odd_settings() {
    termios t{};
    t.c_iflag = ICRNL | IXON | BRKINT;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS7 | PARENB | CSTOPB | CREAD | HUPCL;
    t.c_lflag = ICANON | ECHO | ISIG;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    t.c_cc[VINTR] = 3;
    cfsetispeed(&t, B1200);
    cfsetospeed(&t, B1200);
    return t;
}

void expect_printer_settings(const termios &t) {
    EXPECT_EQ(B9600, cfgetispeed(&t));
    EXPECT_EQ(B9600, cfgetospeed(&t));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), t.c_cflag & CSIZE);
    EXPECT_EQ(0u, t.c_cflag & (PARENB | CSTOPB | HUPCL));
    EXPECT_EQ(static_cast<tcflag_t>(CREAD | CLOCAL | CRTSCTS),
              t.c_cflag & (CREAD | CLOCAL | CRTSCTS));
#if (B9600 & ~CBAUD) == 0
    EXPECT_EQ(0x800008BDu, t.c_cflag); // the whole control word
#endif
    EXPECT_EQ(0u, t.c_iflag);
    EXPECT_EQ(0u, t.c_oflag);
    EXPECT_EQ(0u, t.c_lflag);
    for (std::size_t i = 0; i < NCCS; ++i)
        EXPECT_EQ(0, t.c_cc[i]) << "c_cc[" << i << "]";
}

void expect_same_settings(const termios &got, const termios &want) {
    EXPECT_EQ(want.c_iflag, got.c_iflag);
    EXPECT_EQ(want.c_oflag, got.c_oflag);
    EXPECT_EQ(want.c_cflag, got.c_cflag);
    EXPECT_EQ(want.c_lflag, got.c_lflag);
    EXPECT_EQ(cfgetispeed(&want), cfgetispeed(&got));
    EXPECT_EQ(cfgetospeed(&want), cfgetospeed(&got));
    EXPECT_EQ(0, std::memcmp(want.c_cc, got.c_cc, sizeof want.c_cc));
}

WorkDir::WorkDir() {
    char tmpl[] = "/tmp/tarvik-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    back_ = open(".", O_RDONLY | O_DIRECTORY);
    if (chdir(path_.c_str()) != 0) throw std::runtime_error("chdir failed");
}

WorkDir::~WorkDir() {
    remove_ini();
    if (fchdir(back_) != 0) std::perror("fchdir");
    close(back_);
    rmdir(path_.c_str());
}

void WorkDir::write_ini(const std::string &contents) const {
    std::ofstream out(path_ + "/tarvik.ini", std::ios::binary | std::ios::trunc);
    out << contents;
}

void WorkDir::remove_ini() const {
    unlink((path_ + "/tarvik.ini").c_str());
}

std::string read_all(int fd) {
    lseek(fd, 0, SEEK_SET); // fails on a pipe, which has no start to go back to
    std::string all;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        all.append(buf, static_cast<std::size_t>(n));
    return all;
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(1);
    char tmpl[] = "/tmp/tarvik-out-XXXXXX";
    file_ = mkstemp(tmpl);
    unlink(tmpl);
    dup2(file_, 1);
}

StdoutCapture::~StdoutCapture() {
    finish();
}

std::string StdoutCapture::finish() {
    if (saved_ < 0) return "";
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    std::string out = read_all(file_);
    close(file_);
    return out;
}

ChildResult run_child(const std::function<int()> &fn) {
    int pipefd[2];
    ChildResult r;
    if (pipe(pipefd) != 0) return r;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        dup2(pipefd[1], 1);
        close(pipefd[1]);
        int code = fn();
        std::fflush(stdout);
        _exit(code);
    }
    close(pipefd[1]);
    r.out = read_all(pipefd[0]);
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exited = WIFEXITED(status);
    r.status = r.exited ? WEXITSTATUS(status) : -1;
    return r;
}

void exec_built(std::vector<std::string> args) {
    const std::string emulator = TARVIK_EMULATOR;
    if (!emulator.empty()) args.insert(args.begin(), emulator);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

Program::Program(std::vector<std::string> args, bool with_stderr, const std::string &out_file) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], 1);
        if (with_stderr || !out_file.empty()) dup2(fds[1], 2);
        if (!out_file.empty()) dup2(open(out_file.c_str(), O_WRONLY | O_CLOEXEC), 1);
        exec_built(std::move(args));
    }
    close(fds[1]);
    out_ = fds[0];
}

Program::~Program() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(out_);
}

std::string Program::line() {
    for (;;) {
        std::size_t lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            std::string l = buffer_.substr(0, lf);
            buffer_.erase(0, lf + 1);
            return l;
        }
        pollfd p{out_, POLLIN, 0};
        char buf[4096];
        ssize_t n = poll(&p, 1, 10000) > 0 ? ::read(out_, buf, sizeof buf) : 0;
        if (n <= 0) return "";
        buffer_.append(buf, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> Program::rest() {
    std::vector<std::string> lines;
    for (std::string l = line(); !l.empty(); l = line())
        lines.push_back(l);
    return lines;
}

void Program::signal(int sig) {
    kill(pid_, sig);
}

bool Program::ends_within(int ms) {
    int pid_fd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    pollfd p{pid_fd, POLLIN, 0};
    bool ended = poll(&p, 1, ms) == 1;
    close(pid_fd);
    return ended;
}

int Program::wait() {
    int status = 0;
    rusage use{};
    wait4(pid_, &status, 0, &use);
    max_rss_ = use.ru_maxrss;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int open_descriptors() {
    int count = 0;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++count;
    closedir(d);
    return count - 1; // the directory's own descriptor
}

namespace {
std::mutex log_mutex;
bool logging = false;
std::vector<Write> write_log;
} // namespace

void start_write_log() {
    std::lock_guard<std::mutex> lock(log_mutex);
    write_log.clear();
    logging = true;
}

std::vector<Write> stop_write_log() {
    std::lock_guard<std::mutex> lock(log_mutex);
    logging = false;
    return std::move(write_log);
}

std::vector<std::string> blocks(const std::vector<Write> &log) {
    std::vector<std::string> out;
    for (const Write &w : log)
        if (w.result > 0) out.push_back(w.bytes);
    return out;
}

std::string hex(const std::string &text) {
    std::istringstream in(text);
    std::string out, byte;
    while (in >> byte)
        out.push_back(static_cast<char>(std::stoi(byte, nullptr, 16)));
    return out;
}

namespace {
WriteFault write_fault = WriteFault::none;
int drain_error = 0;
int passes = 0;      // writes still to let through untouched
int fault_calls = 0; // writes the fault has played on
std::function<void()> before_apply;
} // namespace

void set_write_fault(WriteFault fault, int pass) {
    write_fault = fault;
    passes = pass;
    fault_calls = 0;
}

void fail_drain(int err) {
    drain_error = err;
}

void before_next_apply(std::function<void()> fn) {
    before_apply = std::move(fn);
}

bool is_terminal(int fd) {
    termios line{};
    return fd > 2 && tcgetattr(fd, &line) == 0;
}

// Seen only by the write log: every write of the library reaches the device
// unchanged through the system call.
void record(int fd, const void *data, long result) {
    termios line{};
    if (fd <= 2 || tcgetattr(fd, &line) != 0) return; // not a terminal
    std::lock_guard<std::mutex> lock(log_mutex);
    if (!logging) return;
    std::string bytes;
    if (result > 0) bytes.assign(static_cast<const char *>(data), static_cast<std::size_t>(result));
    write_log.push_back(Write{fd, result, bytes, line});
}

// A write to a terminal as the fault in force lets it happen.
long faulty_write(int fd, const void *data, size_t n) {
    if (write_fault == WriteFault::none || !is_terminal(fd)) return syscall(SYS_write, fd, data, n);
    if (passes > 0) {
        --passes;
        return syscall(SYS_write, fd, data, n);
    }
    switch (write_fault) {
    case WriteFault::takes_nothing:
        // Then an error, so that a writer that spins on 0 ends and shows.
        if (fault_calls++ < 100) return 0;
        errno = EIO;
        return -1;
    case WriteFault::chop:
        return syscall(SYS_write, fd, data, n > 0 ? 1 : 0);
    default:
        // EINTR turns to EIO too after a while, so that a writer that retries
        // ends and shows.
        errno = write_fault == WriteFault::eintr && fault_calls++ < 100 ? EINTR : EIO;
        return -1;
    }
}

} // namespace th

// Interposes the write call of the library to see each block it writes. The
// bytes go on to the real device.
extern "C" ssize_t write(int fd, const void *data, size_t n) {
    long result = th::faulty_write(fd, data, n);
    int err = errno;
    th::record(fd, data, result);
    errno = err;
    return result;
}

// Interposes tcsetattr and tcdrain so that a test can make the wait for the
// printer fail, as a signal or a hang-up does on a real port that CTS holds
// back.
extern "C" int tcsetattr(int fd, int actions, const struct termios *t) {
    if (th::drain_error != 0 && actions == TCSAFLUSH) {
        errno = th::drain_error;
        return -1;
    }
    if (actions == TCSANOW && th::before_apply) {
        auto fn = std::move(th::before_apply);
        th::before_apply = nullptr;
        fn();
    }
    using Real = int (*)(int, int, const struct termios *);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    return real(fd, actions, t);
}

extern "C" int tcdrain(int fd) {
    if (th::drain_error != 0) {
        errno = th::drain_error;
        return -1;
    }
    using Real = int (*)(int);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcdrain"));
    return real(fd);
}
