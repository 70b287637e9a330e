// Test harness: real pseudo-terminals, a scratch working directory for
// tarvik.ini, standard output capture, child processes, and a log of the
// write calls that reach a terminal.
#ifndef TARVIK_TEST_HARNESS_H
#define TARVIK_TEST_HARNESS_H

#include <functional>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

namespace th {

// A pseudo-terminal; the library reaches its slave as "/dev/pts/N".
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    int master() const {
        return master_;
    }
    int slave() const {
        return slave_;
    }
    std::string name() const; // "pts/N", the name for tarvik.ini

    termios settings() const;
    void apply(const termios &t);

    // Reads from the master until count bytes have come, then waits settle_ms
    // more for any surplus. Returns all bytes read.
    std::string read(std::size_t count, int settle_ms = 50);
    // From now on the master learns of each queue that the line drops (packet
    // mode); read() still gives the bytes alone.
    void watch_flushes();
    // The queues that the line dropped since the last call, TIOCPKT_FLUSHREAD
    // and TIOCPKT_FLUSHWRITE, once what the master has not read is read.
    int flushed();
    // Sends bytes from the printer's side.
    void send(const std::string &bytes);
    // Waits until count bytes from the printer wait to be read on the line.
    void wait_input(std::size_t count) const;
    // The bytes from the printer that wait to be read on the line.
    std::size_t input_queued() const;

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    bool packets_ = false;
    int flushed_ = 0;
};

// Settings unlike the printer's in every field, to see what is restored.
termios odd_settings();
// Fails the current test unless t holds 9600 8N1, RTS/CTS, raw, VMIN=VTIME=0.
void expect_printer_settings(const termios &t);
// Fails the current test unless the two records set the same line.
void expect_same_settings(const termios &got, const termios &want);

// A fresh directory, made the working directory while the object lives.
class WorkDir {
  public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;
    void write_ini(const std::string &contents) const;
    void remove_ini() const;
    const std::string &path() const {
        return path_;
    }

  private:
    std::string path_;
    int back_ = -1;
};

// What fd holds, from its start if it has one, to its end.
std::string read_all(int fd);

// What the process writes to standard output between construction and
// finish().
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    std::string finish();

  private:
    int saved_ = -1;
    int file_ = -1;
};

// Runs fn in a child process with its standard output captured. The child
// exits with fn's result unless fn ends the process itself.
struct ChildResult {
    bool exited = false; // ended through exit, not a signal
    int status = -1;     // exit status
    std::string out;     // standard output
};
ChildResult run_child(const std::function<int()> &fn);

// Replaces this process with a program built here (args: its path, then its
// arguments), or exits with 127: the build's emulator, if it has one, comes
// in front (qemu-i386 for a 32-bit build where the kernel runs no 32-bit
// programs; see TARVIK_EMULATOR in CMakeLists.txt). Start every built
// program through it.
[[noreturn]] void exec_built(std::vector<std::string> args);

// A program built here, run through exec_built in a child process, its
// standard output on a pipe; killed when the object goes, if it has not ended.
class Program {
  public:
    // args: the program's path, then its arguments. with_stderr: its
    // standard error comes on the same pipe. out_file: its standard output
    // goes there instead, and its standard error on the pipe.
    explicit Program(std::vector<std::string> args, bool with_stderr = false,
                     const std::string &out_file = "");
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    // The next line of output, without its end; empty at the end of output
    // or when none comes within ten seconds.
    std::string line();
    // The rest of the output, line by line, once the program has ended.
    std::vector<std::string> rest();
    void signal(int sig);
    // Whether the program ends within ms milliseconds, its output unread.
    bool ends_within(int ms);
    // The exit status, or -1 if it did not exit.
    int wait();
    pid_t pid() const {
        return pid_;
    }
    // The peak resident memory of the ended program, in KiB.
    long max_rss_kib() const {
        return max_rss_;
    }

  private:
    pid_t pid_ = -1;
    long max_rss_ = 0;
    int out_ = -1;
    std::string buffer_;
};

// Open descriptors of this process.
int open_descriptors();

// The write calls made on terminals while the log runs.
struct Write {
    int fd;
    long result;       // the write's result: count, or -1
    std::string bytes; // the bytes it took
    termios line;      // the line settings at that moment
};
void start_write_log();
std::vector<Write> stop_write_log();
// The bytes of each successful write, in order.
std::vector<std::string> blocks(const std::vector<Write> &log);

// Faults that the write interposer plays on writes to terminals.
enum class WriteFault {
    none,
    takes_nothing, // writes return 0, and from the 101st on fail with EIO
    chop,          // every write takes one byte
    eio,           // writes fail with EIO, as on a line whose far end has gone
    eintr,         // writes fail with EINTR, as when a signal comes first
};
// Plays fault on the writes to terminals that come after the next pass.
void set_write_fault(WriteFault fault, int pass = 0);

// While err is not 0, the wait for the printer to take the output fails with
// err and changes nothing (tcsetattr with TCSAFLUSH, and tcdrain): EINTR as
// when a signal interrupts it, EIO as when the line hangs up.
void fail_drain(int err);

// Runs fn once, at the next tcsetattr with TCSANOW (a command applying the
// printer's settings, once its port has opened), before it takes effect.
void before_next_apply(std::function<void()> fn);

// The sanitizers' runtime needs descriptors of its own to check memory, so a
// test that uses up every descriptor skips itself under them.
#if defined(__SANITIZE_ADDRESS__)
#define TH_SKIP_WITHOUT_DESCRIPTORS() GTEST_SKIP() << "the sanitizer runtime needs descriptors"
#else
#define TH_SKIP_WITHOUT_DESCRIPTORS() (void)0
#endif

// Bytes from a hex text such as "1B 2E 35".
std::string hex(const std::string &text);

} // namespace th

#endif
