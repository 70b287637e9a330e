// A test fixture: a printer on a pseudo-terminal named in tarvik.ini.
#ifndef TARVIK_TEST_PRINTER_H
#define TARVIK_TEST_PRINTER_H

#include "harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace th {

// The report of a command whose port did not open.
inline std::string port_failure(int code, int err) {
    return "erro abertura porta serial, codigo " + std::to_string(code) + ", errno " +
           std::to_string(err) + " " + std::strerror(err) + "\r\n";
}

// A check field command: ESC . 5 9 0, the field code, the text, '}'.
inline std::string field(char code, const std::string &text) {
    return std::string("\x1b.590") + code + text + "}";
}

// The printer's line has settings of its own before every test, so that the
// tests see what a command changes and what it restores.
class Printer : public ::testing::Test {
  protected:
    void SetUp() override {
        dir.write_ini("Porta=" + pty.name() + "\n");
        before = odd_settings();
        pty.apply(before);
        before = pty.settings();
    }

    // Runs a command with the write log, its errno and standard output
    // captured.
    template <class F> int run(F command) {
        StdoutCapture capture;
        start_write_log();
        errno = 0;
        int result = command();
        error = errno;
        log = stop_write_log();
        out = capture.finish();
        return result;
    }

    // The last command wrote exactly these blocks, one write each, at the
    // printer's settings; the printer got them, and the line is restored.
    void expect_sent(const std::vector<std::string> &want) {
        EXPECT_EQ(want, blocks(log));
        EXPECT_EQ(want.size(), log.size()) << "a block took more than one write";
        std::string all;
        for (const std::string &b : want)
            all += b;
        for (const Write &w : log)
            expect_printer_settings(w.line);
        EXPECT_EQ(all, pty.read(all.size()));
        expect_same_settings(pty.settings(), before);
    }

    WorkDir dir;
    Pty pty;
    termios before{};
    std::vector<Write> log;
    int error = 0;
    std::string out;
};

} // namespace th

#endif
