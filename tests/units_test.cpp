// The internal helpers of the link and the commands, without a port.
#include "check/check.h"
#include "commands/commands.h"
#include "link/link.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

std::string port_of(const std::string &ini) {
    std::istringstream in(ini);
    char path[kPortPath];
    return ini_port(in, path) ? std::string(path) : std::string("<none>");
}

std::string layout_of(const std::string &ini, const char *code) {
    std::istringstream in(ini);
    char layout[kLayout];
    ini_layout(in, code, layout);
    return layout;
}

TEST(PortEntry, NameIsFiveCharactersFromPosition6) {
    EXPECT_EQ("/dev/ttyS0", port_of("Porta=ttyS0\n"));
    EXPECT_EQ("/dev/ttyS1", port_of("Porta=ttyS10\r\n"));
    EXPECT_EQ("/dev/ttyS", port_of("Porta=ttyS"));
    EXPECT_EQ("/dev/S0\r", port_of("Porta=S0\r\n"));
    EXPECT_EQ("/dev/", port_of("Porta=\n"));
    EXPECT_EQ("/dev/ttyS0", port_of("[x]\n\nPorta=ttyS0\nPorta=ttyS1\n"));
    // The name is read from position 6 wherever the key stands.
    EXPECT_EQ("/dev/=ttyS", port_of("#Porta=ttyS0\n"));
    EXPECT_EQ("/dev/a=tty", port_of("; Porta=ttyS0\n"));
    EXPECT_EQ("<none>", port_of("porta=ttyS0\nPORTA=ttyS0\n"));
    EXPECT_EQ("<none>", port_of(""));
}

TEST(PortEntry, LongLinesAndZeroBytes) {
    std::string pad(99, '-');
    EXPECT_EQ("<none>", port_of(pad + "Porta=ttyS0\n"));
    EXPECT_EQ("<none>", port_of(pad + "\nPorta" + pad + "\n"));
    EXPECT_EQ("/dev/ttyS0", port_of(pad + pad + "\nPorta=ttyS0"));
    EXPECT_EQ("/dev/-----", port_of(pad.substr(6) + "Porta=\n"));
    EXPECT_EQ("<none>", port_of(std::string("ab\0Porta=ttyS0\n", 15)));
    EXPECT_EQ("/dev/tt", port_of(std::string("Porta=tt\0S0\n", 12)));
}

TEST(BankEntry, LayoutIsTwentyCharactersFromPosition4) {
    const char *ini = "Porta=ttyS0\r\n"
                      "341 10,20,30,40,50,60,70\r\n"
                      "001;01,02,03,04,05,06,07,08\n"
                      "237x\n"
                      "104\n"
                      "xx399 short\n";
    EXPECT_EQ("10,20,30,40,50,60,70", layout_of(ini, "341"));
    EXPECT_EQ("01,02,03,04,05,06,07", layout_of(ini, "001"));
    EXPECT_EQ("", layout_of(ini, "237"));
    EXPECT_EQ("", layout_of(ini, "104")); // the bare code
    EXPECT_EQ("9 short", layout_of(ini, "399"));
    EXPECT_EQ("05,15,08,06,06,05,05", layout_of(ini, "999"));
    EXPECT_EQ(" 10,20,30,40,50,60,7", layout_of("x341 10,20,30,40,50,60,70\r\n", "341"));
}

TEST(LineFeeds, CountIsCappedAndAZeroByteFollows) {
    char out[16];
    EXPECT_EQ(0u, build_linefeeds(out, 0));
    EXPECT_EQ(4u, build_linefeeds(out, 3));
    EXPECT_EQ(std::string("\n\n\n\0", 4), std::string(out, 4));
    EXPECT_EQ(11u, build_linefeeds(out, 11));
    EXPECT_EQ(11u, build_linefeeds(out, 2147483647));
    EXPECT_EQ(1u, build_linefeeds(out, -2147483647 - 1));
    EXPECT_EQ('\0', out[0]);
}

TEST(CheckFields, DateReadsStopAtTheEndOfTheText) {
    char out[7];
    struct Case {
        const char *date;
        bool valid, show;
        int count;
    } cases[] = {
        {"1", false, false, 2},          {"1/", false, false, 2},   {"1/2", false, true, 4},
        {"1/2/", false, true, 4},        {"1/2/3", true, false, 5}, {"1/2/345", false, true, 7},
        {"1/2/3456789", true, false, 8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.date);
        DateRead r = normalize_date(c.date, out);
        EXPECT_EQ(c.valid, r.valid);
        EXPECT_EQ(c.show, r.show_count);
        EXPECT_EQ(c.count, r.count);
    }
    EXPECT_TRUE(normalize_date("1/2/3456789", out).valid);
    EXPECT_STREQ("010256", out); // the first four year digits, then their last two
}

TEST(CheckFields, LayoutFieldDropsCommasAndFieldCommandCutsAt92) {
    char field[25];
    layout_field("05,15,08,06,06,05,05", field);
    EXPECT_STREQ("000S05150806060505", field);
    layout_field("12345678901234567890", field); // twenty characters, no comma
    EXPECT_STREQ("000S12345678901234567890", field);
    layout_field("", field);
    EXPECT_STREQ("000S", field);

    char out[100];
    std::string text(500, 'x');
    EXPECT_EQ(99u, build_field(out, '1', text.c_str()));
    EXPECT_EQ('}', out[98]);
    EXPECT_EQ('\0', out[99]);
    EXPECT_EQ(7u, build_field(out, '9', ""));
    EXPECT_EQ(std::string("\x1b.5909}", 8), std::string(out, 8));
}

TEST(CheckFields, BankCodeAndAmount) {
    char code[4];
    bank_code("123456", code);
    EXPECT_STREQ("345", code);
    bank_code("", code);
    EXPECT_STREQ("000", code);
    char digits[13];
    amount_digits(std::string(1000, '7').append("123").c_str(), digits);
    EXPECT_STREQ("777777777123", digits);
}

TEST(TextLines, AssemblyWithoutAPort) {
    char out[100], cut[100];
    std::string text(200, 't');
    EXPECT_EQ(95u, assemble_front(out, cut, '5', 'N', text.c_str()));
    EXPECT_EQ("\x1b"
              "d5\x14" +
                  std::string(90, 't') + "\n",
              std::string(out, 95));
    EXPECT_EQ('\0', out[95]);
    EXPECT_EQ(std::string(90, 't'), cut);

    EXPECT_EQ(9u, assemble_auth(out, cut, 'Z', 'S', 'V', "ab"));
    EXPECT_EQ(std::string("\x1bV\x1b"
                          "d0\x0e"
                          "ab\n"),
              std::string(out, 9));

    EXPECT_EQ(5u, assemble_back(out, cut, '*', 'S', "ab", 0));
    EXPECT_EQ(std::string("\x1b"
                          "d*\r\0",
                          5),
              std::string(out, 5));
    EXPECT_EQ(36u, assemble_back(out, cut, '*', 'S', text.c_str(), 1));
    EXPECT_EQ("\x0e  " + std::string(32, 't') + "\n", std::string(out, 36));
}

} // namespace
