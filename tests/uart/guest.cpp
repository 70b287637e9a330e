// Runs inside the 32-bit guest against the real 8250 driver on ttyS1. It
// steps through the scenario that tests/uart/run.py drives: before each step
// it prints "@wait NAME" on the console and waits for a line from the host,
// after it "@done NAME rc=R us=T SETTINGS", where SETTINGS is what the port
// holds afterwards, read by the guest itself.
#include "tarvik.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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

template <class F> void step(const char *name, F command) {
    set_own();
    wait_host(name);
    long long t0 = now_us();
    int rc = command();
    long long t1 = now_us();
    std::printf("@done %s rc=%d us=%lld %s\n", name, rc, t1 - t0, settings().c_str());
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

} // namespace

int main() {
    std::FILE *ini = std::fopen("tarvik.ini", "w");
    std::fputs("Porta=ttyS1\n", ini);
    std::fclose(ini);

    step("tarvlf", [] { return tarvlf(3); });
    step("tarvabreverso", [] { return tarvabreverso(); });
    step("tarvfechaverso", [] { return tarvfechaverso(); });
    step("tarvtxt", [] { return tarvtxt('0', 'N', s("TEXTO NA FRENTE DO DOCUMENTO 0123456789")); });
    step("tarvaut", [] { return tarvaut('1', 'S', 'V', s("AUTENTICACAO 0001")); });
    step("tarvversotxt", [] { return tarvversotxt('0', 'N', s("TEXTO NO VERSO DO DOCUMENTO")); });
    step("tarvcheque", [] { return check("PAGUE POR ESTE CHEQUE"); });

    // The host holds CTS off for a while after this step starts.
    step("hold", [] { return tarvtxt('0', 'N', s("ESPERA CTS")); });

    // CTS stays off; the alarm cuts the wait for the drain short.
    step("alarm", [] {
        struct sigaction sa {};
        sa.sa_handler = on_alarm; // no SA_RESTART: the wait must end
        sigaction(SIGALRM, &sa, nullptr);
        alarm(1);
        int rc = tarvtxt('0', 'N', s("INTERROMPIDO PELO ALARME"));
        alarm(0);
        return rc;
    });
    // After CTS is back: only this command's bytes may follow.
    step("after", [] { return tarvlf(1); });

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
