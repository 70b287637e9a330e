// Runs inside the 32-bit guest against the real 8250 driver on ttyS1. It
// steps through the scenario that tests/uart/run.py drives: before each step
// it prints "@wait NAME" on the console and waits for a line from the host,
// after it "@done NAME rc=R errno=E us=T SETTINGS", where SETTINGS is what
// the port holds afterwards, read by the guest itself. Each timed command is
// followed by its floor, NAME/floor: the same system calls, made bare. A
// step that runs tarvik-print gives its exit status as R, and before "@done"
// its output, "out NAME| LINE" and "err NAME| LINE".
#include "tarvik.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

const char kPort[] = "/dev/ttyS1";

long long now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

// The port's own settings, which every command must leave as it found them:
// 115200 7E2, no flow control.
void set_own() {
    int fd = open(kPort, O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) {
        std::printf("@error %s: %s\n", kPort, std::strerror(errno));
        _exit(2);
    }
    cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARODD | CRTSCTS);
    t.c_cflag |= CS7 | PARENB | CSTOPB | CREAD | CLOCAL | HUPCL;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
    close(fd);
}

std::string settings() {
    int fd = open(kPort, O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    close(fd);
    speed_t s = cfgetospeed(&t);
    const char *speed = s == B115200 ? "115200" : s == B9600 ? "9600" : "other";
    int bits = (t.c_cflag & CSIZE) == CS8 ? 8 : (t.c_cflag & CSIZE) == CS7 ? 7 : 0;
    char parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    char out[64];
    std::snprintf(out, sizeof out, "%s %d%c%d %s", speed, bits, parity,
                  (t.c_cflag & CSTOPB) ? 2 : 1, (t.c_cflag & CRTSCTS) ? "crtscts" : "-crtscts");
    return out;
}

void wait_host(const char *name) {
    std::printf("@wait %s\n", name);
    std::fflush(stdout);
    char line[64];
    if (!std::fgets(line, sizeof line, stdin)) _exit(3);
}

// Lines for the host that the current step gathers, printed after its
// timing, each marked with the step's name.
std::string notes;
const char *current = "";

template <class F> void step(const char *name, F command) {
    set_own();
    wait_host(name);
    current = name;
    long long t0 = now_us();
    int rc = command();
    int err = errno;
    long long t1 = now_us();
    std::fputs(notes.c_str(), stdout);
    notes.clear();
    std::printf("@done %s rc=%d errno=%d us=%lld %s\n", name, rc, err, t1 - t0, settings().c_str());
    std::fflush(stdout);
}

char *s(const char *text) {
    return const_cast<char *>(text);
}

int check(const char *text1) {
    return tarvcheque(s(text1), s("FULANO DE TAL"), s("15/03/2004"), s("1.234,56"), s("SAO PAULO"),
                      s(""), s("237"));
}

void on_alarm(int) {}

// A repeating timer whose signal ends blocking calls (no SA_RESTART), as an
// application bounds a command: one alarm may meet a write that has taken
// some bytes, which does not end it.
void repeating_timer(bool on) {
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
    itimerval t{};
    if (on) t = {{1, 0}, {1, 0}};
    setitimer(ITIMER_REAL, &t, nullptr);
}

// ---- tarvik-print ----------------------------------------------------------

// Each line of the file, as "KIND NAME| LINE" in the notes.
void note_lines(const char *kind, const char *path) {
    std::FILE *f = std::fopen(path, "r");
    char line[512];
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
        notes +=
            std::string(kind) + " " + current + "| " + line + (std::strchr(line, '\n') ? "" : "\n");
    if (f != nullptr) std::fclose(f);
}

// Runs /bin/tarvik-print with args; gives its exit status, its output in
// the notes.
int tarvik_print(std::vector<const char *> args) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open("/tmp/print.out", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open("/tmp/print.err", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        args.insert(args.begin(), "tarvik-print");
        args.push_back(nullptr);
        execv("/bin/tarvik-print", const_cast<char **>(args.data()));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    note_lines("out", "/tmp/print.out");
    note_lines("err", "/tmp/print.err");
    errno = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// tarvik-print run while another process of the guest holds the port, as a
// command would; its process id goes in the notes.
int while_held(std::vector<const char *> args) {
    int locked[2], done[2];
    if (pipe(locked) != 0 || pipe(done) != 0) return -1;
    pid_t holder = fork();
    if (holder == 0) {
        close(done[1]);
        int fd = open(kPort, O_RDWR | O_NOCTTY | O_NONBLOCK);
        char c = flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
        // Then holds it until the step is over.
        _exit(write(locked[1], &c, 1) == 1 && read(done[0], &c, 1) == 0 ? 0 : 1);
    }
    close(locked[1]);
    close(done[0]);
    char c = 'n';
    int rc = read(locked[0], &c, 1) == 1 && c == 'y' ? tarvik_print(args) : -1;
    close(done[1]);
    close(locked[0]);
    waitpid(holder, nullptr, 0);
    notes += std::string("holder ") + current + "| " + std::to_string(holder) + "\n";
    errno = 0;
    return rc;
}

// ---- The floor: the same system calls as a command, without the library --

void scan(const char *needle, char (&line)[100]) {
    std::FILE *f = std::fopen("tarvik.ini", "r");
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr &&
           std::strstr(line, needle) == nullptr) {
    }
    if (f != nullptr) std::fclose(f);
}

// An fgets scan of tarvik.ini per look-up, open, flock, tcgetattr,
// tcsetattr, one write per block, the restoring tcsetattr, unlock, close.
int bare(const std::vector<std::string> &blocks, bool layout = false) {
    char line[100] = "";
    scan("Porta=", line);
    std::string path = "/dev/" + std::string(line + 6, std::strcspn(line + 6, "\r\n"));
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 0;
    flock(fd, LOCK_EX);
    termios saved{}, t{};
    tcgetattr(fd, &saved);
    t.c_cflag = B9600 | CS8 | CREAD | CLOCAL | CRTSCTS;
    tcsetattr(fd, TCSANOW, &t);
    if (layout) scan("237", line);
    int ok = 1;
    for (const std::string &b : blocks)
        ok &= write(fd, b.data(), b.size()) == static_cast<ssize_t>(b.size());
    tcsetattr(fd, TCSAFLUSH, &saved);
    flock(fd, LOCK_UN);
    close(fd);
    return ok;
}

std::string field(int code, const char *text) {
    return std::string("\x1b.590") + static_cast<char>('0' + code) + text + "}";
}

// A timed command, then its floor.
template <class F>
void timed(const char *name, F command, const std::vector<std::string> &blocks,
           bool layout = false) {
    step(name, command);
    step((std::string(name) + "/floor").c_str(), [&] { return bare(blocks, layout); });
}

// The host holds CTS off across a step that a repeating timer cuts short,
// then lets the next command run: only its bytes may follow.
template <class F> void cut_short(const char *name, F command) {
    step(name, command);
    step((std::string(name) + "/after").c_str(), [] { return tarvlf(1); });
}

} // namespace

int main() {
    std::FILE *ini = std::fopen("tarvik.ini", "w");
    std::fputs("Porta=ttyS1\n", ini);
    std::fclose(ini);

    const char *front = "TEXTO NA FRENTE DO DOCUMENTO 0123456789";
    const char *auth = "AUTENTICACAO 0001";
    const char *back = "TEXTO NO VERSO DO DOCUMENTO";
    timed("tarvlf", [] { return tarvlf(3); }, {std::string("\n\n\n\0", 4)});
    timed("tarvabreverso", [] { return tarvabreverso(); },
          {std::string("\x1b.5915}\0", 8), std::string("\n\0", 2)});
    timed("tarvfechaverso", [] { return tarvfechaverso(); }, {std::string("\x1b.5916}\0", 8)});
    // Octal escapes: ESC is \033, and 0x14 and 0x0E are \024 and \016.
    timed("tarvtxt", [&] { return tarvtxt('0', 'N', s(front)); },
          {std::string("\033d0\024") + front + "\n"});
    timed("tarvaut", [&] { return tarvaut('1', 'S', 'V', s(auth)); },
          {std::string("\033V\033d1\016") + auth + "\n"});
    timed("tarvversotxt", [&] { return tarvversotxt('0', 'N', s(back)); },
          {std::string("\033d0\r\0", 5), std::string("\024  ") + back + "\n"});
    timed(
        "tarvcheque", [] { return check("PAGUE POR ESTE CHEQUE"); },
        {field(1, "PAGUE POR ESTE CHEQUE"), field(2, "FULANO DE TAL"), field(3, "150304"),
         field(4, "000000123456"), field(5, "SAO PAULO"), field(6, ""), field(7, "REAL"),
         field(8, "REAIS"), field(9, "000S05150806060505")},
        true);

    // The host holds CTS off for a while after this step starts.
    step("hold", [] { return tarvtxt('0', 'N', s("ESPERA CTS")); });

    // CTS stays off; the timer cuts the wait for the drain short.
    cut_short("alarm", [] {
        repeating_timer(true);
        int rc = tarvtxt('0', 'N', s("INTERROMPIDO PELO ALARME"));
        repeating_timer(false);
        return rc;
    });
    // The same in a command nested in the application's hold: it must drop
    // what it queued, or the application's own close, with no timer left,
    // waits for CTS.
    cut_short("nested", [] {
        int outer = serial_open();
        repeating_timer(true);
        int rc = tarvtxt('0', 'N', s("INTERROMPIDO DENTRO DA POSSE"));
        int err = errno;
        repeating_timer(false);
        serial_close(outer);
        errno = err;
        return outer >= 0 ? rc : -1;
    });

    // tarvik-print: the line's status with CTS on and off, the doctor's
    // warning, and --timeout ending the wait for the printer and for
    // another process's lock; the host holds CTS as each step needs.
    step("status/ready", [] { return tarvik_print({"status", "--json"}); });
    step("status/off", [] { return tarvik_print({"status", "--json"}); });
    step("doctor/off", [] { return tarvik_print({"doctor"}); });
    cut_short("timeout", [] {
        return tarvik_print({"--timeout", "1", "text", "0", "N", "ESPERA O TEMPO"});
    });
    cut_short("timeout/held", [] {
        return while_held({"--timeout", "1", "text", "0", "N", "ESPERA A OUTRA POSSE"});
    });

    step("two", [] {
        pid_t kids[2];
        for (int k = 0; k < 2; k++) {
            kids[k] = fork();
            if (kids[k] == 0) {
                char text[40];
                for (int i = 0; i < 3; i++) {
                    std::snprintf(text, sizeof text, "PROCESSO %c CHEQUE %d", 'A' + k, i);
                    check(text);
                    std::snprintf(text, sizeof text, "PROCESSO %c VERSO %d", 'A' + k, i);
                    tarvversotxt('0', 'N', text);
                }
                _exit(0);
            }
        }
        int ok = 1;
        for (pid_t kid : kids) {
            int status = 0;
            if (waitpid(kid, &status, 0) != kid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
                ok = 0;
        }
        return ok;
    });
    std::printf("@end\n");
    std::fflush(stdout);
    return 0;
}
