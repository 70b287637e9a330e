// Pitch tables and the text line commands, through the exported interface
// against a pseudo-terminal.
#include "support/api.h"
#include "support/harness.h"
#include "support/printer.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using th::hex;
using th::Printer;

// Line widths by pitch code: front normal, front 'S', back normal, back 'S'.
struct Row {
    char code;
    int front, front_s, back, back_s;
};
const Row kTable[] = {
    {'0', 40, 20, 36, 18}, {'1', 80, 40, 72, 36}, {'2', 60, 30, 54, 27}, {'3', 52, 26, 47, 23},
    {'4', 48, 24, 43, 22}, {'5', 90, 45, 81, 41}, {'6', 66, 33, 60, 30}, {'7', 60, 30, 54, 27},
    {'8', 56, 28, 51, 25}, {'9', 45, 23, 41, 21}, {'*', 72, 36, 65, 33}, {'+', 43, 21, 39, 19},
};
const char kUnknown[] = {'A', 'a', ' ', '\0', ',', ')', '\x80', '\xff', '\x1b'};

// A text longer than every line: every character differs from its neighbours,
// so a cut one too long or too short shows.
std::string long_text() {
    std::string t;
    for (int i = 0; i < 120; ++i)
        t.push_back(static_cast<char>('!' + i % 90));
    return t;
}

std::string front(char pitch, char control, const std::string &text) {
    return std::string{'\x1b', 'd', pitch, control} + text + "\n";
}

std::string back_head(char pitch) {
    return std::string{'\x1b', 'd', pitch, '\r', '\0'};
}

std::string back_line(char control, const std::string &text) {
    return std::string{control, ' ', ' '} + text + "\n";
}

// Calls check(row, flag, front width, back width, control byte) for every
// pitch code with both flags.
template <class F> void each_pitch(F check) {
    for (const Row &r : kTable) {
        for (char flag : {'N', 'S'}) {
            SCOPED_TRACE((std::string{r.code, flag}));
            bool twice = flag == 'S';
            check(r.code, flag, twice ? r.front_s : r.front, twice ? r.back_s : r.back,
                  twice ? '\x0e' : '\x14');
        }
    }
}

void look_up(void (*table)(char &, char &, int &, char &), char code, char flag, char &pitch,
             int &width, char &control) {
    pitch = code;
    char f = flag;
    width = -1;
    control = 0;
    table(pitch, f, width, control);
    EXPECT_EQ(flag, f) << "the flag is only read";
}

TEST(PitchTables, EveryCodeWithBothWidthsFrontAndBack) {
    each_pitch([](char code, char flag, int front, int back, char control) {
        char pitch, got;
        int width;
        look_up(setme, code, flag, pitch, width, got);
        EXPECT_EQ(code, pitch);
        EXPECT_EQ(front, width);
        EXPECT_EQ(control, got);
        look_up(setmev, code, flag, pitch, width, got);
        EXPECT_EQ(code, pitch);
        EXPECT_EQ(back, width);
        EXPECT_EQ(control, got);
    });
    // Only an upper-case S asks for double width.
    for (const Row &r : kTable) {
        for (char flag : {'s', 'N', '\0', 'X', '\xd3'}) {
            char pitch, control;
            int width;
            look_up(setme, r.code, flag, pitch, width, control);
            EXPECT_EQ(r.front, width);
            EXPECT_EQ(0x14, control);
        }
    }
}

TEST(PitchTables, UnknownCodesBecomeZero) {
    for (char code : kUnknown) {
        SCOPED_TRACE(static_cast<int>(code));
        char pitch, control;
        int width;
        look_up(setme, code, 'N', pitch, width, control);
        EXPECT_EQ('0', pitch);
        EXPECT_EQ(40, width);
        look_up(setmev, code, 'S', pitch, width, control);
        EXPECT_EQ('0', pitch);
        EXPECT_EQ(18, width);
        EXPECT_EQ(0x0E, control);
    }
}

TEST_F(Printer, FrontLineAtEveryPitchIsCutToTheLineWidth) {
    std::string text = long_text();
    each_pitch([&](char code, char flag, int width, int, char control) {
        EXPECT_EQ(1, run([&] { return tarvtxt(code, flag, text.data()); }));
        expect_sent({front(code, control, text.substr(0, width))});
        EXPECT_EQ(text.substr(0, width), std::string(bufi));
        EXPECT_EQ("", out);
    });
}

TEST_F(Printer, FrontLineCases) {
    std::string fifty(50, 'x');
    EXPECT_EQ(1, run([&] { return tarvtxt('0', 'N', fifty.data()); }));
    expect_sent({hex("1B 64 30 14") + std::string(40, 'x') + "\n"});

    char abc[] = "ABC";
    EXPECT_EQ(1, run([&] { return tarvtxt('5', 'S', abc); }));
    expect_sent({hex("1B 64 35 0E 41 42 43 0A")});

    char empty[] = "";
    EXPECT_EQ(1, run([&] { return tarvtxt('7', 'N', empty); }));
    expect_sent({hex("1B 64 37 14 0A")});
    EXPECT_EQ(1, run([&] { return tarvtxt('7', 'S', nullptr); }));
    expect_sent({hex("1B 64 37 0E 0A")});

    // The widest line.
    std::string ninety(90, '9');
    EXPECT_EQ(1, run([&] { return tarvtxt('5', 'N', ninety.data()); }));
    expect_sent({hex("1B 64 35 14") + ninety + "\n"});

    // Bytes pass through as they are.
    char raw[] = "\x1b}\x80\xff\r\t{";
    EXPECT_EQ(1, run([&] { return tarvtxt('1', 'N', raw); }));
    expect_sent({hex("1B 64 31 14") + raw + "\n"});
}

TEST_F(Printer, UnknownPitchIsSentAsZero) {
    std::string text = long_text();
    for (char code : kUnknown) {
        SCOPED_TRACE(static_cast<int>(code));
        EXPECT_EQ(1, run([&] { return tarvtxt(code, 'N', text.data()); }));
        expect_sent({front('0', 0x14, text.substr(0, 40))});
        EXPECT_EQ(1, run([&] { return tarvversotxt(code, 'S', text.data()); }));
        expect_sent({back_head('0'), back_line(0x0E, text.substr(0, 17))});
    }
}

TEST_F(Printer, AuthenticationLineSelectors) {
    char x1[] = "X1";
    EXPECT_EQ(1, run([&] { return tarvaut('1', 'S', 'Q', x1); }));
    expect_sent({hex("1B 58 1B 64 31 0E 58 31 0A")});

    const char selectors[][2] = {{'Y', 'Y'}, {'V', 'V'},  {'X', 'X'},   {'y', 'X'},
                                 {'v', 'X'}, {'\0', 'X'}, {'\x1b', 'X'}};
    for (auto &s : selectors) {
        SCOPED_TRACE(static_cast<int>(s[0]));
        EXPECT_EQ(1, run([&] { return tarvaut('1', 'S', s[0], x1); }));
        expect_sent({std::string{'\x1b', s[1]} + hex("1B 64 31 0E 58 31 0A")});
    }
    EXPECT_EQ(1, run([&] { return tarvaut('4', 'N', 'V', nullptr); }));
    expect_sent({hex("1B 56 1B 64 34 14 0A")});
}

TEST_F(Printer, AuthenticationLineAtEveryPitch) {
    std::string text = long_text();
    each_pitch([&](char code, char flag, int width, int, char control) {
        EXPECT_EQ(1, run([&] { return tarvaut(code, flag, 'Y', text.data()); }));
        expect_sent({"\x1bY" + front(code, control, text.substr(0, width))});
    });
}

TEST_F(Printer, BackLineAtEveryPitchIsOneShorterThanTheWidth) {
    std::string text = long_text();
    each_pitch([&](char code, char flag, int, int width, char control) {
        EXPECT_EQ(1, run([&] { return tarvversotxt(code, flag, text.data()); }));
        expect_sent({back_head(code), back_line(control, text.substr(0, width - 1))});
        EXPECT_EQ(text.substr(0, width - 1), std::string(bufi));
    });
}

TEST_F(Printer, BackLineCases) {
    std::string fifty(50, 'b');
    EXPECT_EQ(1, run([&] { return tarvversotxt('0', 'N', fifty.data()); }));
    expect_sent({hex("1B 64 30 0D 00"), hex("14 20 20") + std::string(35, 'b') + "\n"});

    EXPECT_EQ(1, run([&] { return tarvversotxt('+', 'S', nullptr); }));
    expect_sent({hex("1B 64 2B 0D 00"), hex("0E 20 20 0A")});

    char raw[] = "\x1b}\xe7";
    EXPECT_EQ(1, run([&] { return tarvversotxt('9', 'N', raw); }));
    expect_sent({hex("1B 64 39 0D 00"), hex("14 20 20 1B 7D E7 0A")});
}

TEST_F(Printer, TextCommandsOnAPortThatDoesNotOpen) {
    dir.write_ini("Porta=nodev\n");
    char text[] = "ABC";
    int (*commands[])(char *) = {
        [](char *t) { return tarvtxt('0', 'N', t); },
        [](char *t) { return tarvaut('0', 'N', 'Y', t); },
        [](char *t) { return tarvversotxt('0', 'N', t); },
    };
    for (auto command : commands) {
        EXPECT_EQ(0, run([&] { return command(text); }));
        EXPECT_EQ(th::port_failure(-1, ENOENT), out);
        EXPECT_TRUE(log.empty());
    }
    dir.write_ini("Porta=null\n");
    for (auto command : commands) {
        EXPECT_EQ(0, run([&] { return command(text); }));
        EXPECT_EQ("error reading terminal settings.\n" + th::port_failure(-2, ENOTTY), out);
    }
    dir.remove_ini();
    for (auto command : commands) {
        th::ChildResult r = th::run_child([&] { return command(text) + 100; });
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("erro abertura tarvik.ini", r.out);
    }
}

} // namespace
