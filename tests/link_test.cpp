// The configuration file, the serial link and the paper motion commands,
// driven through the exported interface against real pseudo-terminals.
#include "support/api.h"
#include "support/harness.h"
#include "support/printer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

using th::hex;

namespace {

using th::port_failure;
using th::Printer;

const char kNotTerminal[] = "error reading terminal settings.\n";

// ---- Port entry -----------------------------------------------------------

TEST_F(Printer, OpensTheDeviceNamedOnThePortLineAndRestoresItOnClose) {
    const std::string name = pty.name(); // "pts/N": longer than five characters
    const std::string inis[] = {
        "; printer\nPorta=" + name + "\n001 05,15,08,06,06,05,05\n",
        "Porta=" + name + "\r\n",                           // saved with CR LF
        "Porta=" + name + ";COM1\n",                        // the name ends at ';'
        "Porta=" + name + ",9600\n",                        // ... at ','
        "Porta=" + name + " \t# printer\n",                 // ... at a blank
        "x\nPorta=" + name + "\nPorta=nodev\n",             // the first entry wins
        "001 01,02,03,04,05,06,07\r\nPorta=" + name + "\r", // last line, CR, no LF
    };
    for (const std::string &ini : inis) {
        SCOPED_TRACE(ini);
        dir.write_ini(ini);
        int fd = serial_open();
        ASSERT_GE(fd, 0);
        th::expect_printer_settings(pty.settings());
        EXPECT_EQ(0, serial_close(fd));
        th::expect_same_settings(pty.settings(), before);
        EXPECT_EQ(-1, fcntl(fd, F_GETFD)) << "descriptor left open";
    }
}

TEST_F(Printer, PortLineThatIsOnlyTheKeyNamesTheDeviceDirectory) {
    dir.write_ini("Porta=\n");
    EXPECT_EQ(0, run([] { return tarvlf(1); }));
    EXPECT_EQ(port_failure(-1, EISDIR), out);
}

TEST_F(Printer, NoPortEntryFailsToOpenWithNoSuchFile) {
    dir.write_ini("porta=ttyS0\nPORTA=ttyS0\n001 05,15,08,06,06,05,05\n");
    errno = 0;
    EXPECT_EQ(-1, serial_open());
    EXPECT_EQ(ENOENT, errno);
    int (*commands[])() = {[] { return tarvlf(2); }, tarvabreverso, tarvfechaverso};
    for (auto command : commands) {
        EXPECT_EQ(0, run(command));
        EXPECT_EQ(port_failure(-1, ENOENT), out);
        EXPECT_TRUE(log.empty());
    }
}

TEST_F(Printer, LongLinesAreTestedOnTheirFirst99CharactersOnly) {
    std::string pad(99, 'x');
    std::string entry = "Porta=" + pty.name() + "\n";
    // The key beyond character 99 is not seen, and the rest of a long line is
    // not taken for a line of its own.
    dir.write_ini(pad + entry);
    EXPECT_EQ(-1, serial_open());
    dir.write_ini(pad + entry + pad + pad + "\n");
    EXPECT_EQ(-1, serial_open());
    // After long lines the scan goes on.
    dir.write_ini(pad + pad + pad + "\n" + pad + "\n" + entry);
    int fd = serial_open();
    EXPECT_GE(fd, 0);
    serial_close(fd);
}

TEST_F(Printer, BinaryJunkInTheFileIsScannedSafely) {
    std::string junk;
    for (int i = 0; i < 4096; ++i)
        junk.push_back(static_cast<char>((i * 37 + 11) % 256));
    std::string entry = "Porta=" + pty.name() + "\n";
    dir.write_ini(junk + std::string(1, '\0') + entry + junk);
    errno = 0;
    EXPECT_EQ(-1, serial_open()); // the key after a zero byte is not seen
    dir.write_ini(junk + "\n" + entry + junk);
    int fd = serial_open();
    EXPECT_GE(fd, 0);
    serial_close(fd);
}

// ---- Missing file: the process ends ---------------------------------------

TEST_F(Printer, MissingConfigurationFileEndsTheProcessWithStatus1) {
    dir.remove_ini();
    int (*calls[])() = {serial_open, [] { return tarvlf(1); }, tarvabreverso, tarvfechaverso};
    for (auto call : calls) {
        th::ChildResult r = th::run_child([call] { return call() + 100; });
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("erro abertura tarvik.ini", r.out);
    }
}

// A named pipe with no writer would hold the open up for ever, and the
// application's timer would end it as a missing file, ending the process: it
// is read at once, and names no port.
TEST_F(Printer, NamedPipeForTheFileIsReadWithoutWaiting) {
    dir.remove_ini();
    ASSERT_EQ(0, mkfifo("tarvik.ini", 0600));
    th::ChildResult r = th::run_child([] {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, nullptr);
        itimerval every{{0, 100000}, {0, 100000}};
        setitimer(ITIMER_REAL, &every, nullptr);
        return tarvlf(1) + 100;
    });
    EXPECT_EQ(100, r.status);
    EXPECT_EQ(port_failure(-1, ENOENT), r.out);
}

// Out of descriptors is no reason to end the application: the call fails as
// a port that does not open, and the process goes on.
TEST_F(Printer, FileThatCannotBeOpenedForWantOfDescriptorsFailsTheCallOnly) {
    TH_SKIP_WITHOUT_DESCRIPTORS();
    th::ChildResult r = th::run_child([] {
        while (dup(0) >= 0) {
        }
        return tarvlf(1) + 100;
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(100, r.status);
    EXPECT_EQ(port_failure(-1, EMFILE), r.out);
    EXPECT_EQ("", pty.read(0));
}

// ---- Open failures ----------------------------------------------------------

TEST_F(Printer, DeviceThatIsNotATerminalGivesMinus2AndLeaksNothing) {
    dir.write_ini("Porta=null\n");
    int open_before = th::open_descriptors();
    th::StdoutCapture capture;
    EXPECT_EQ(-2, serial_open());
    EXPECT_EQ(kNotTerminal, capture.finish());
    EXPECT_EQ(open_before, th::open_descriptors());

    int (*commands[])() = {[] { return tarvlf(3); }, tarvabreverso, tarvfechaverso};
    for (auto command : commands) {
        EXPECT_EQ(0, run(command));
        EXPECT_EQ(kNotTerminal + port_failure(-2, ENOTTY), out);
    }
    EXPECT_EQ(open_before, th::open_descriptors());
}

// A session leader whose terminal's foreground group is another one may read
// the settings but not change them: the kernel refuses with EIO.
TEST_F(Printer, SettingsThatCannotBeAppliedGiveMinus3AndLeakNothing) {
    std::string name = pty.name();
    th::ChildResult r = th::run_child([&] {
        setsid();
        int ctty = open(("/dev/" + name).c_str(), O_RDWR | O_NOCTTY);
        ioctl(ctty, TIOCSCTTY, 0);
        pid_t other = fork();
        if (other == 0) {
            setpgid(0, 0);
            pause();
            _exit(0);
        }
        setpgid(other, other);
        tcsetpgrp(ctty, other);
        int open_before = th::open_descriptors();
        int link = serial_open();
        printf("open %d leak %d|", link, th::open_descriptors() - open_before);
        int result = tarvlf(2);
        printf("|lf %d leak %d", result, th::open_descriptors() - open_before);
        kill(other, SIGKILL);
        return 0;
    });
    EXPECT_EQ("open -3 leak 0|" + port_failure(-3, EIO) + "|lf 0 leak 0", r.out);
}

// ---- Link ------------------------------------------------------------------

TEST_F(Printer, OpenDoesNotMakeThePrinterTheControllingTerminal) {
    th::ChildResult r = th::run_child([] {
        setsid(); // a session with no terminal, as a daemon has
        int fd = serial_open();
        int tty = open("/dev/tty", O_RDWR);
        int acquired = tty >= 0;
        serial_close(fd);
        return fd >= 0 ? acquired : 2;
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(0, r.status);
}

TEST_F(Printer, PutsAndPutnWriteExactlyTheirBytes) {
    int fd = serial_open();
    ASSERT_GE(fd, 0);
    char text[] = "ABC\n\x1b}\xe7";
    EXPECT_EQ(7, serial_puts(fd, text));
    char data[] = {'\0', 'x', '\0', '\n'};
    EXPECT_EQ(4, serial_putn(fd, data, 4));
    char empty[] = "";
    EXPECT_EQ(0, serial_puts(fd, empty));
    EXPECT_EQ(0, serial_puts(fd, nullptr));
    EXPECT_EQ(0, serial_putn(fd, data, 0));
    EXPECT_EQ(0, serial_putn(fd, nullptr, 0));
    EXPECT_EQ(-1, serial_putn(fd, data, -1));
    EXPECT_EQ(-1, serial_putn(fd, nullptr, 3));
    EXPECT_EQ(std::string("ABC\n\x1b}\xe7", 7) + std::string("\0x\0\n", 4), pty.read(11));
    serial_close(fd);
}

TEST_F(Printer, GetsReadsWhatIsWaitingWithoutBlocking) {
    int fd = serial_open();
    ASSERT_GE(fd, 0);
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(0, serial_gets(fd, buf, 8)); // quiet line: at once
    EXPECT_EQ('\0', buf[0]);

    pty.send("ok\r\n");
    pty.wait_input(4);
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(3, serial_gets(fd, buf, 3));
    EXPECT_EQ(std::string("ok\r\0#", 5), std::string(buf, 5));
    EXPECT_EQ(1, serial_gets(fd, buf, 8));
    EXPECT_STREQ("\n", buf);

    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(0, serial_gets(fd, buf, -1)); // negative size: untouched
    EXPECT_EQ(0, serial_gets(fd, nullptr, 8));
    EXPECT_EQ(0, serial_gets(-1, buf, 8)); // failed read: untouched
    EXPECT_EQ(std::string(16, '#'), std::string(buf, 16));
    serial_close(fd);
}

TEST_F(Printer, CloseDiscardsWhatThePrinterSentAndNobodyRead) {
    int fd = serial_open();
    ASSERT_GE(fd, 0);
    pty.send("status");
    pty.wait_input(6);
    serial_close(fd);
    EXPECT_EQ(0u, pty.input_queued());
}

// A wait for the printer that fails ends the command with 0 and the wait's
// errno, what was queued dropped, and the line is not left at the printer's
// settings: a signal's (an application's timer), or EIO, a line that hung up,
// after which nothing tells that the bytes left. So in a command nested in
// the application's hold. serial_close gives the close's result.
TEST_F(Printer, FailedWaitForThePrinterGivesZeroAndRestoresTheLine) {
    pty.watch_flushes();
    for (bool nested : {false, true}) {
        for (int err : {EINTR, EIO}) {
            SCOPED_TRACE(std::to_string(err) + (nested ? " nested" : ""));
            int outer = nested ? serial_open() : -1;
            pty.flushed(); // what the last row's close dropped
            th::fail_drain(err);
            EXPECT_EQ(0, run([] { return tarvlf(2); }));
            EXPECT_EQ(err, error);
            EXPECT_NE(0, pty.flushed() & TIOCPKT_FLUSHWRITE) << "the line feeds were not dropped";
            int fd = nested ? outer : serial_open();
            ASSERT_GE(fd, 0);
            EXPECT_EQ(0, serial_close(fd));
            th::fail_drain(0);
            th::expect_same_settings(pty.settings(), before);
            EXPECT_EQ(-1, fcntl(fd, F_GETFD)) << "descriptor left open";
        }
    }
}

// A daemon runs with its standard descriptors closed; the port must not take
// their place, nor outlive an exec.
TEST_F(Printer, PortIsNeverAStandardDescriptorAndClosesOnExec) {
    int fd = serial_open();
    EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    serial_close(fd);
    th::ChildResult r = th::run_child([] {
        close(0);
        close(1);
        close(2);
        int fd = serial_open();
        int flags = fcntl(fd, F_GETFD);
        serial_close(fd);
        return fd > 2 && (flags & FD_CLOEXEC) != 0 ? 0 : 1;
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(0, r.status);
}

TEST_F(Printer, CloseBeforeAnyOpenLeavesTheLineAlone) {
    // A fresh process, so that no settings have been saved.
    std::string path = "/dev/" + pty.name();
    th::ChildResult r = th::run_child([&] {
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        int closed = serial_close(fd);
        return closed == 0 && fcntl(fd, F_GETFD) == -1 ? 0 : 1;
    });
    EXPECT_EQ(0, r.status);
    th::expect_same_settings(pty.settings(), before);
}

// ---- Paper motion -----------------------------------------------------------

TEST_F(Printer, LineFeedsAreCappedAtTenAndEndWithAZeroByte) {
    struct Case {
        int n;
        std::string bytes;
    } cases[] = {
        {3, hex("0A 0A 0A 00")},
        {1, hex("0A 00")},
        {10, std::string(10, '\n') + '\0'},
        {25, std::string(10, '\n') + '\0'},
        {-2, std::string(1, '\0')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(1, run([&] { return tarvlf(c.n); }));
        expect_sent({c.bytes});
        EXPECT_EQ("", out);
    }
}

TEST_F(Printer, ZeroLineFeedsOpensAndClosesButSendsNothing) {
    EXPECT_EQ(1, run([] { return tarvlf(0); }));
    EXPECT_TRUE(log.empty());
    EXPECT_EQ("", pty.read(0));
    th::expect_same_settings(pty.settings(), before);
    dir.write_ini("Porta=nodev\n");
    EXPECT_EQ(0, run([] { return tarvlf(0); }));
    EXPECT_EQ(port_failure(-1, ENOENT), out);
}

TEST_F(Printer, BackSideModeCommands) {
    EXPECT_EQ(1, run(tarvabreverso));
    expect_sent({hex("1B 2E 35 39 31 35 7D 00"), hex("0A 00")});
    EXPECT_EQ(1, run(tarvfechaverso));
    expect_sent({hex("1B 2E 35 39 31 36 7D 00")});
    EXPECT_EQ("", out);
}

// ---- Whole blocks, or 0 ----------------------------------------------------

// A write that the device cuts short is resumed until its block is out. A
// write that fails or takes nothing ends the command there: a check sends
// no field after it, what was queued is dropped, the line is restored, and
// the command gives 0 with errno telling why; so in a command nested in the
// application's hold, which leaves the line to the holder.
TEST_F(Printer, CommandGivesZeroWhenItsBlocksDoNotAllGo) {
    char t[] = "T", date[] = "15/03/2004", amount[] = "1,00", bank[] = "237";
    std::vector<std::string> fields;
    for (const char *text :
         {"T", "T", "150304", "000000000100", "T", "T", "REAL", "REAIS", "000S05150806060505"})
        fields.push_back(th::field(static_cast<char>('1' + fields.size()), text));
    struct Case {
        th::WriteFault fault;
        int err;
        bool nested = false;
    } cases[] = {{th::WriteFault::chop, 0},
                 {th::WriteFault::eio, EIO},
                 {th::WriteFault::eintr, EINTR},
                 {th::WriteFault::takes_nothing, EIO},
                 {th::WriteFault::eio, EIO, true}};
    pty.watch_flushes();
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.fault)) + (c.nested ? " nested" : ""));
        int open_before = th::open_descriptors();
        int outer = c.nested ? serial_open() : -1;
        th::set_write_fault(c.fault, 2); // the first two fields go as they are
        int result = run([&] { return tarvcheque(t, t, date, amount, t, t, bank); });
        th::set_write_fault(th::WriteFault::none);
        if (c.nested) {
            EXPECT_EQ(0, serial_close(outer));
        }
        EXPECT_EQ("", out);
        EXPECT_EQ(open_before, th::open_descriptors());
        th::expect_same_settings(pty.settings(), before);
        if (c.err == 0) {
            EXPECT_EQ(1, result);
            std::string all;
            for (const std::string &f : fields)
                all += f;
            EXPECT_EQ(all, pty.read(all.size()));
            EXPECT_EQ(all.size() - fields[0].size() - fields[1].size() + 2, log.size())
                << "one write per byte from the third field on";
            EXPECT_EQ(0, pty.flushed() & TIOCPKT_FLUSHWRITE);
            continue;
        }
        EXPECT_EQ(0, result);
        EXPECT_EQ(c.err, error);
        EXPECT_EQ(std::vector<std::string>(fields.begin(), fields.begin() + 2), th::blocks(log));
        EXPECT_EQ(3u, log.size()) << "the third field is tried once, the rest never";
        EXPECT_NE(0, pty.flushed() & TIOCPKT_FLUSHWRITE) << "what was queued was not dropped";
    }
}

} // namespace
