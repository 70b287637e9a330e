// Check printing and the text fitting helpers, through the exported
// interface against a pseudo-terminal.
#include "support/api.h"
#include "support/harness.h"
#include "support/printer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

using th::field;
using th::Printer;

// A check's arguments; each test changes what it is about.
struct Check {
    std::string text1 = "PAGUE POR ESTE CHEQUE";
    std::string text2 = "FULANO DE TAL";
    std::string date = "15/03/2004";
    std::string amount = "1.234,56";
    std::string text5 = "SAO PAULO";
    std::string text6 = "";
    std::string bank = "237";

    int operator()() {
        return tarvcheque(text1.data(), text2.data(), date.data(), amount.data(), text5.data(),
                          text6.data(), bank.data());
    }
};

// The nine blocks of a check with the given fields 3, 4 and 9.
std::vector<std::string> nine(const Check &c, const std::string &date, const std::string &amount,
                              const std::string &layout) {
    return {field('1', c.text1), field('2', c.text2), field('3', date),
            field('4', amount),  field('5', c.text5), field('6', c.text6),
            field('7', "REAL"),  field('8', "REAIS"), field('9', layout)};
}

const char kDefault[] = "000S05150806060505";

TEST_F(Printer, CheckSendsNineFieldsInOrderOneWriteEach) {
    Check c;
    EXPECT_EQ(1, run(c));
    expect_sent(nine(c, "150304", "000000123456", kDefault));
    EXPECT_EQ("", out);
}

TEST_F(Printer, DatesAreNormalisedToDayMonthYear) {
    const char *dates[][2] = {
        {"15/03/2004", "150304"}, {"15/03/04", "150304"},   {"5/3/4", "050304"},
        {"1/2/2003", "010203"},   {"15-03-2004", "150304"}, {"15/03/20045", "150304"},
        {"31/12/1999", "311299"}, {"15/3/2/04", "150304"},  {"7/07/7", "070707"},
        {"29/02/2024", "290224"}, {"29/2/00", "290200"},    {"30/04/2026", "300426"},
    };
    for (auto &d : dates) {
        SCOPED_TRACE(d[0]);
        Check c;
        c.date = d[0];
        EXPECT_EQ(1, run(c));
        expect_sent(nine(c, d[1], "000000123456", kDefault));
        EXPECT_EQ("", out);
    }
}

TEST_F(Printer, InvalidDatesAreReportedAndNothingIsSent) {
    const char *dates[][2] = {
        {"/03/04", "0\ndata invalida"},
        {"", "0\ndata invalida"},
        {"15/03/", "4\ndata invalida"},
        {"15/03", "4\ndata invalida"},
        {"150304", "4\ndata invalida"},
        {"15/03/204", "7\ndata invalida"},
        {"15//04", "data invalida"},
        {"123/04/05", "data invalida"},
        {"5", "data invalida"},
        {"15", "data invalida"},
        {"1/2", "4\ndata invalida"},
        {"1/2/345", "7\ndata invalida"},
        // Read, but not a day of the calendar.
        {"2025-03-15", "data invalida"},
        {"1-2-2024", "data invalida"},
        {"31/02/2025", "data invalida"},
        {"99/99/99", "data invalida"},
        {"ab/cd/ef", "data invalida"},
        {"29/02/2025", "data invalida"},
        {"00/01/26", "data invalida"},
        {"31/04/26", "data invalida"},
        {"1.12.99", "data invalida"},
        {"15/13/26", "data invalida"},
    };
    for (auto &d : dates) {
        SCOPED_TRACE(d[0]);
        Check c;
        c.date = d[0];
        EXPECT_EQ(0, run(c));
        EXPECT_EQ(EINVAL, error);
        EXPECT_EQ(d[1], out);
        expect_sent({});
    }
    // A null date reads as an empty one.
    Check c;
    EXPECT_EQ(0, run([&] {
                  return tarvcheque(c.text1.data(), c.text2.data(), nullptr, c.amount.data(),
                                    c.text5.data(), c.text6.data(), c.bank.data());
              }));
    EXPECT_EQ("0\ndata invalida", out);
    expect_sent({});
}

// An amount that the twelve digits cannot hold, or a negative one, is
// refused (ERANGE; an empty field below) with nothing sent, not printed as
// another amount. 8-bit bytes are no digits, and leading zeros do not count.
TEST_F(Printer, AmountIsItsDigitsOrIsRefused) {
    const std::string amounts[][2] = {
        {"1.234,56", "000000123456"},
        {"99,90", "000000009990"},
        {"R$ mil", "000000000000"},
        {"", "000000000000"},
        {"\xb2\xb3 5", "000000000005"},
        {"999999999999", "999999999999"},
        {"0001234567890,12", "123456789012"},
        {"1234567890123", ""},
        {"1.000.000.000.000,00", ""},
        {"12a34b56c78d90e12f34", ""},
        {"-5,00", ""},
        {"5,00-", ""},
    };
    for (auto &a : amounts) {
        SCOPED_TRACE(a[0]);
        Check c;
        c.amount = a[0];
        EXPECT_EQ(a[1].empty() ? 0 : 1, run(c));
        expect_sent(a[1].empty() ? std::vector<std::string>{} : nine(c, "150304", a[1], kDefault));
        EXPECT_EQ("", out);
        EXPECT_EQ(a[1].empty() ? ERANGE : error, error);
    }
}

TEST_F(Printer, BankCodeIsTheFirstFiveCharactersFittedToThree) {
    dir.write_ini("Porta=" + pty.name() +
                  "\n"
                  "001 01,01,01,01,01,01,01\n"
                  "012 12,12,12,12,12,12,12\n"
                  "123 23,23,23,23,23,23,23\n"
                  "341 41,41,41,41,41,41,41\n"
                  "345 45,45,45,45,45,45,45\n"
                  "0ab ab,ab,ab,ab,ab,ab,ab\n");
    // A check digit after a dash is dropped.
    const char *banks[][2] = {
        {"1", "01010101010101"},     {"12", "12121212121212"},      {"123", "23232323232323"},
        {"0341", "41414141414141"},  {"12345", "45454545454545"},   {"123456", "45454545454545"},
        {"ab", "ababababababab"},    {"999", "05150806060505"},     {"341-7", "41414141414141"},
        {"001-9", "01010101010101"}, {"12345-6", "45454545454545"},
    };
    for (auto &b : banks) {
        SCOPED_TRACE(b[0]);
        Check c;
        c.bank = b[0];
        EXPECT_EQ(1, run(c));
        expect_sent(nine(c, "150304", "000000123456", std::string("000S") + b[1]));
    }
}

TEST_F(Printer, LayoutComesFromTheFirstLineHoldingTheCode) {
    struct Case {
        std::string lines, layout;
    } cases[] = {
        {"237 01,02,03,04,05,06,07\r\n", "000S01020304050607"},       // CRLF, cut at 20
        {"237 01,02\r\n", "000S0102"},                                // short, CR LF
        {"conta 5237 x\n237 01,02,03,04,05,06,07\n", "000Sa 5237 x"}, // first line wins
        {"237;\n", "000S"},                                           // four characters
        {"237\n237 01,02,03,04,05,06,07\n", "000S"},                  // the bare code
        {"238 01,02,03,04,05,06,07\n", kDefault},                     // not in the file
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.lines);
        dir.write_ini("Porta=" + pty.name() + "\r\n" + k.lines);
        Check c;
        EXPECT_EQ(1, run(c));
        expect_sent(nine(c, "150304", "000000123456", k.layout));
    }
}

TEST_F(Printer, LongTextsAreCutToWhatTheirFieldsHold) {
    Check c;
    c.text1 = std::string(150, 'A');
    c.text2 = std::string(93, 'B');
    c.text5 = std::string(75, 'C');
    c.text6 = std::string(61, 'D');
    EXPECT_EQ(1, run(c));
    Check sent = c;
    sent.text1.resize(92);
    sent.text2.resize(92);
    sent.text5.resize(60);
    sent.text6.resize(60);
    expect_sent(nine(sent, "150304", "000000123456", kDefault));
    EXPECT_EQ(std::string(150, 'A'), c.text1); // the caller's texts are untouched
}

// A '}' or an ESC in a text would end its field early and make the rest of
// it commands, such as a second amount: each goes as a space, and every
// other byte as it is. (chequecom's text: in the decoder's round trip.)
TEST_F(Printer, FieldTextsPassThroughButNoTextEndsItsField) {
    Check c;
    c.text1 = "\x1b}\xe7\xc3\x87\t\r\n";
    c.text5 = "SP}\x1b.5904000099999999";
    c.text6 = "{}";
    EXPECT_EQ(1, run(c));
    Check sent = c;
    sent.text1 = "  \xe7\xc3\x87\t\r\n";
    sent.text5 = "SP  .5904000099999999";
    sent.text6 = "{ ";
    expect_sent(nine(sent, "150304", "000000123456", kDefault));
}

TEST_F(Printer, NullTextsAreEmpty) {
    char date[] = "1/1/01";
    EXPECT_EQ(1, run([&] {
                  return tarvcheque(nullptr, nullptr, date, nullptr, nullptr, nullptr, nullptr);
              }));
    Check empty;
    empty.text1 = empty.text2 = empty.text5 = empty.text6 = "";
    expect_sent(nine(empty, "010101", "000000000000", kDefault));
}

TEST_F(Printer, FieldCommandOnAnOpenPort) {
    int fd = serial_open();
    ASSERT_GE(fd, 0);
    std::string text(200, 'x');
    run([&] {
        chequecom(fd, 'Z', text.data()); // the code is not tested
        return 0;
    });
    EXPECT_EQ(std::string("\x1b.590Z") + std::string(92, 'x') + "}", std::string(comando, 99));
    EXPECT_EQ('\0', comando[99]);
    std::vector<th::Write> first = log;
    run([&] {
        chequecom(fd, '5', nullptr);
        return 0;
    });
    log.insert(log.begin(), first.begin(), first.end());
    serial_close(fd);
    expect_sent({field('Z', std::string(92, 'x')), field('5', "")});
}

TEST_F(Printer, CheckOnAPortThatDoesNotOpen) {
    dir.write_ini("Porta=nodev\n001 01,02\n");
    Check c;
    EXPECT_EQ(0, run(c));
    EXPECT_EQ(th::port_failure(-1, ENOENT), out);
    EXPECT_TRUE(log.empty());
}

// The file is gone by the second scan: the process ends as on the first, but
// only after the port has been put back as it was.
TEST_F(Printer, ConfigurationGoneAtTheLayoutLookUpEndsTheProcessWithThePortRestored) {
    th::ChildResult r = th::run_child([] {
        th::before_next_apply([] { unlink("tarvik.ini"); }); // the port has opened
        Check c;
        return c() + 100;
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("erro abertura tarvik.ini", r.out);
    EXPECT_EQ("", pty.read(0));
    th::expect_same_settings(pty.settings(), before);
}

// The port took the last free descriptor, so the file cannot be read again
// for the layout: the check fails as a port that does not open, restored.
TEST_F(Printer, CheckFailsWhenTheLayoutCannotBeReadForWantOfDescriptors) {
    TH_SKIP_WITHOUT_DESCRIPTORS();
    th::ChildResult r = th::run_child([] {
        int spare = dup(0);
        while (dup(0) >= 0) {
        }
        close(spare); // one free: the file, then the port, take it in turn
        Check c;
        return c() + 100;
    });
    EXPECT_EQ(100, r.status);
    EXPECT_EQ(th::port_failure(-1, EMFILE), r.out);
    EXPECT_EQ("", pty.read(0));
    th::expect_same_settings(pty.settings(), before);
}

// Reports come after the port is restored and closed: a daemon's closed
// standard output never sends them to the printer, and a reader that has gone
// kills the process with the line already restored.
TEST_F(Printer, InvalidDateIsReportedOnlyAfterThePortIsRestored) {
    th::ChildResult closed = th::run_child([] {
        close(1);
        Check c;
        c.date = "15/03"; // shows a count, flushed at once
        return c() + 100;
    });
    EXPECT_EQ(100, closed.status);
    EXPECT_EQ("", pty.read(0));

    th::ChildResult gone = th::run_child([] {
        int reader[2];
        if (pipe(reader) != 0) return 2;
        close(reader[0]);
        dup2(reader[1], 1);
        signal(SIGPIPE, SIG_DFL);
        Check c;
        c.date = "15/03";
        return c() + 100;
    });
    EXPECT_FALSE(gone.exited) << "the report should have met SIGPIPE";
    th::expect_same_settings(pty.settings(), before);
}

// ---- Text fitting helpers -------------------------------------------------

TEST(Fitting, CompletastrFitsTextToAnExactWidth) {
    struct Case {
        const char *text;
        char fill;
        int width, right;
        const char *want;
    } cases[] = {
        {"123", '0', 12, 1, "000000000123"},
        {"1234567890123", '0', 12, 1, "234567890123"},
        {"5", '0', 3, 1, "005"},
        {"12345", '0', 3, 1, "345"},
        {"AB", '*', 5, 0, "AB***"},
        {"ABCDEFG", '*', 5, 0, "ABCDE"},
        {"", '0', 3, 1, "000"},
        {"", '-', 2, 0, "--"},
        {"ABC", '0', 3, 1, "ABC"},
        {"ABC", '0', 3, 0, "ABC"},
        {"ABC", '0', 0, 1, ""},
        {"ABC", '0', 0, 0, ""},
        {"AB", '\0', 4, 7, ""}, // a zero fill ends the text early
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        char buf[32];
        std::memset(buf, '#', sizeof buf);
        std::strcpy(buf, c.text);
        completastr(buf, c.fill, c.width, c.right);
        EXPECT_STREQ(c.want, buf);
        EXPECT_EQ('\0', buf[c.width]);
        EXPECT_EQ('#', buf[std::max<std::size_t>(c.width + 1, std::strlen(c.text) + 1)]);
    }
}

TEST(Fitting, CompletastrWithANegativeWidthWritesNothing) {
    char buf[8] = "ABC\0###";
    completastr(buf, '0', -1, 1);
    completastr(buf, '0', -2147483647 - 1, 0);
    EXPECT_EQ(0, std::memcmp(buf, "ABC\0###", 8));
    completastr(nullptr, '0', 3, 1);
}

TEST(Fitting, PosicaoFindsTheFirstOccurrenceOrTheLength) {
    char digits[] = "0123456789";
    EXPECT_EQ(7, posicao('7', digits));
    EXPECT_EQ(10, posicao('x', digits));
    EXPECT_EQ(0, posicao('0', digits));
    EXPECT_EQ(10, posicao('\0', digits));
    char twice[] = "abcabc";
    EXPECT_EQ(2, posicao('c', twice));
    char empty[] = "";
    EXPECT_EQ(0, posicao('a', empty));
    EXPECT_EQ(0, posicao('a', nullptr));
}

} // namespace
