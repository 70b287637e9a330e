// One printer shared by several processes, and by an application that holds
// the port itself: every command is one uninterrupted transaction, and the
// line ends as it was found.
#include "support/api.h"
#include "support/harness.h"
#include "support/printer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using th::field;
using th::Printer;

// Waits until pid waits for a lock (a "->" line of /proc/locks), or has
// ended. Returns whether it was seen waiting.
bool wait_blocked_on_lock(pid_t pid) {
    const std::string mark = " " + std::to_string(pid) + " ";
    for (;;) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            if (line.find("->") != std::string::npos && line.find(mark) != std::string::npos)
                return true;
        // Ended: a child of ours has exited, or our parent has gone.
        int status;
        if (pid != getppid() && (waitpid(pid, &status, WNOHANG) == pid || errno == ECHILD))
            return false;
        poll(nullptr, 0, 2);
    }
}

void on_signal(int) {}

// Handles sig without SA_RESTART, so that it ends a blocking call.
void interrupting(int sig) {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(sig, &sa, nullptr);
}

// Each process prints checks, front lines and back lines; the printer must
// get every frame whole and each check's nine fields together.
TEST_F(Printer, ProcessesSharingThePrinterNeverMixTheirCommands) {
    const int kProcesses = 4, kRounds = 12;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        if (pid == 0) {
            int failed = 0;
            for (int i = 0; i < kRounds; ++i) {
                std::string id = "P" + std::to_string(p) + "R" + std::to_string(i);
                std::string t1 = id + " PAGUE", t2 = id + " A", date = "15/03/2004",
                            amount = "1,00", none, bank = "237";
                failed += 1 != tarvcheque(t1.data(), t2.data(), date.data(), amount.data(),
                                          none.data(), none.data(), bank.data());
                std::string line = id + " LINE";
                failed += 1 != tarvtxt('0', 'N', line.data());
                failed += 1 != tarvversotxt('0', 'N', line.data());
            }
            _exit(failed);
        }
        children.push_back(pid);
    }

    std::string check_tail = field('3', "150304") + field('4', "000000000100") + field('5', "") +
                             field('6', "") + field('7', "REAL") + field('8', "REAIS") +
                             field('9', "000S05150806060505");
    std::size_t expected = 0;
    std::vector<std::string> commands;
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kRounds; ++i) {
            std::string id = "P" + std::to_string(p) + "R" + std::to_string(i);
            commands.push_back(field('1', id + " PAGUE") + field('2', id + " A") + check_tail);
            commands.push_back(std::string("\x1b"
                                           "d0\x14") +
                               id + " LINE\n");
            commands.push_back(std::string("\x1b"
                                           "d0\r\0\x14  ",
                                           8) +
                               id + " LINE\n");
            for (int k = 0; k < 3; ++k)
                expected += commands[commands.size() - 1 - k].size();
        }
    }
    std::string got = pty.read(expected, 200);
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    // Take the stream apart command by command: each must be one of those
    // sent, whole, and each only once.
    ASSERT_EQ(expected, got.size());
    std::sort(commands.begin(), commands.end());
    std::size_t at = 0;
    while (at < got.size()) {
        auto hit = std::find_if(commands.begin(), commands.end(), [&](const std::string &c) {
            return got.compare(at, c.size(), c) == 0;
        });
        ASSERT_NE(commands.end(), hit)
            << "mixed or damaged at byte " << at << ": " << got.substr(at, 80);
        at += hit->size();
        commands.erase(hit);
    }
    EXPECT_TRUE(commands.empty());
    th::expect_same_settings(pty.settings(), before);
}

// An application holding the port may still call a command: it neither waits
// for itself nor takes the printer's settings for the line's own.
TEST_F(Printer, CommandWhileTheApplicationHoldsThePort) {
    th::ChildResult r = th::run_child([] {
        interrupting(SIGALRM);
        // A wait for our own lock would end here, again and again, not hang.
        itimerval every{{2, 0}, {2, 0}};
        setitimer(ITIMER_REAL, &every, nullptr);
        int outer = serial_open();
        int result = tarvlf(2);
        int inner = serial_open();
        char ab[] = "ab";
        serial_puts(inner, ab);
        serial_close(inner);
        termios held{};
        tcgetattr(outer, &held);
        serial_close(outer);
        bool raw = held.c_lflag == 0 && (held.c_cflag & CRTSCTS) != 0;
        return outer >= 0 && inner >= 0 && result == 1 && raw ? 0 : 1;
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(std::string("\n\n\0ab", 5), pty.read(5));
    th::expect_same_settings(pty.settings(), before);
}

// While the application holds the port, tarvik.ini comes to name another
// device (a virtual printer starting): the command refuses it before it opens
// anything, so that the held port's own settings are never replaced by the
// other's. The device directory, which an open would refuse with EISDIR,
// shows that nothing was opened.
TEST_F(Printer, CommandOnAnotherDeviceWhileThePortIsHeldIsRefused) {
    th::Pty other;
    termios other_before = other.settings();
    for (const std::string &name : {other.name(), std::string()}) {
        SCOPED_TRACE(name);
        dir.write_ini("Porta=" + pty.name() + "\n");
        int outer = serial_open();
        ASSERT_GE(outer, 0);
        dir.write_ini("Porta=" + name + "\n");
        EXPECT_EQ(0, run([] { return tarvlf(1); }));
        EXPECT_EQ(EBUSY, error);
        EXPECT_EQ(th::port_failure(-1, EBUSY), out);
        EXPECT_EQ(0, serial_close(outer));
        th::expect_same_settings(pty.settings(), before);
    }
    th::expect_same_settings(other.settings(), other_before);
    EXPECT_EQ("", other.read(0));
}

// A process waiting for the printer gives up when a signal comes, and keeps
// no descriptor of it.
TEST_F(Printer, WaitForThePortEndsOnASignal) {
    int held[2], go[2];
    ASSERT_EQ(0, pipe(held));
    ASSERT_EQ(0, pipe(go));
    pid_t holder = fork();
    if (holder == 0) {
        int fd = serial_open();
        char c = 'h';
        bool ok = ::write(held[1], &c, 1) == 1 && ::read(go[0], &c, 1) == 1;
        serial_close(fd);
        _exit(fd >= 0 && ok ? 0 : 1);
    }
    char c;
    ASSERT_EQ(1, ::read(held[0], &c, 1)); // the port is held

    th::ChildResult r = th::run_child([] {
        interrupting(SIGUSR1);
        pid_t self = getpid();
        if (fork() == 0) {
            bool blocked = wait_blocked_on_lock(self);
            kill(self, blocked ? SIGUSR1 : SIGKILL);
            _exit(0);
        }
        int open_before = th::open_descriptors();
        int result = tarvlf(1);
        std::printf("|%d %d", result, th::open_descriptors() - open_before);
        return 0;
    });
    EXPECT_EQ(th::port_failure(-1, EINTR) + "|0 0", r.out);

    ASSERT_EQ(1, ::write(go[1], "x", 1));
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ("", pty.read(0));
    th::expect_same_settings(pty.settings(), before);
    for (int fd : {held[0], held[1], go[0], go[1]})
        close(fd);
}

// A child forked while its parent holds the port does not inherit the hold:
// its command waits until the parent has put the line back and let go.
TEST_F(Printer, ForkedChildWaitsForItsParentsHold) {
    th::ChildResult r = th::run_child([] {
        int fd = serial_open();
        pid_t child = fork();
        if (child == 0) _exit(tarvlf(1) == 1 ? 0 : 1);
        bool waited = wait_blocked_on_lock(child);
        char p[] = "P";
        serial_puts(fd, p);
        serial_close(fd);
        int status = 0;
        waitpid(child, &status, 0);
        return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    });
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(std::string("P\n\0", 3), pty.read(3));
    th::expect_same_settings(pty.settings(), before);
}

// Closes out of order: once the outer descriptor has let the port go, the
// nested one must not put the line back under another process's command.
TEST_F(Printer, NestedDescriptorClosedLastLeavesTheNextHolderAlone) {
    th::ChildResult r = th::run_child([] {
        int outer = serial_open(), inner = serial_open();
        serial_close(outer);
        int held[2], go[2];
        if (pipe(held) != 0 || pipe(go) != 0) return 2;
        pid_t other = fork();
        if (other == 0) {
            int fd = serial_open();
            char c = 'h';
            bool ok = ::write(held[1], &c, 1) == 1 && ::read(go[0], &c, 1) == 1;
            termios line{};
            tcgetattr(fd, &line);
            serial_close(fd);
            _exit(fd >= 0 && ok && line.c_lflag == 0 && (line.c_cflag & CRTSCTS) != 0 ? 0 : 1);
        }
        char c;
        if (inner < 0 || ::read(held[0], &c, 1) != 1) return 3;
        serial_close(inner);
        int status = 0;
        bool told = ::write(go[1], "x", 1) == 1;
        waitpid(other, &status, 0);
        return told && WIFEXITED(status) ? WEXITSTATUS(status) : 4;
    });
    EXPECT_EQ(0, r.status) << "the other process lost its printer settings";
    th::expect_same_settings(pty.settings(), before);
}

// The process ends on a missing tarvik.ini, even inside a command nested in
// the application's own hold: the line goes back as it was found first.
TEST_F(Printer, MissingFileInANestedCommandEndsWithTheLineRestored) {
    th::ChildResult r = th::run_child([] {
        serial_open();
        unlink("tarvik.ini");
        return tarvlf(1) + 100;
    });
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("erro abertura tarvik.ini", r.out);
    th::expect_same_settings(pty.settings(), before);
}

} // namespace
