// The internal helpers of the link and the commands, without a port.
#include "check/check.h"
#include "commands/commands.h"
#include "link/link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string port_of(const std::string &ini) {
    IniReader in(ini.data(), ini.size());
    char path[kPortPath];
    return ini_port(in, path) ? path : "<none>";
}

std::string layout_of(const std::string &ini, const char *code) {
    IniReader in(ini.data(), ini.size());
    char layout[kLayout];
    ini_layout(in, code, layout);
    return layout;
}

TEST(PortEntry, NameRunsFromPosition6ToTheFirstSeparator) {
    const char *cases[][2] = {
        {"Porta=ttyS0\n", "/dev/ttyS0"},
        {"Porta=ttyUSB0\n", "/dev/ttyUSB0"},
        {"Porta=pts/10\r\n", "/dev/pts/10"},
        {"Porta=lp0\r\n", "/dev/lp0"},
        {"Porta=lp0\r", "/dev/lp0"},
        {"Porta=ttyS0;COM1\n", "/dev/ttyS0"},
        {"Porta=ttyS0,9600\n", "/dev/ttyS0"},
        {"Porta=ttyS0 \t; printer\n", "/dev/ttyS0"},
        {"Porta=ttyACM0\tx", "/dev/ttyACM0"},
        {"Porta=\n", "/dev/"},
        {"Porta=;ttyS0\n", "/dev/"},
        {"[x]\n\nPorta=ttyS0\nPorta=ttyS1\n", "/dev/ttyS0"},
        // The name is read from position 6 wherever the key stands.
        {"#Porta=ttyS0\n", "/dev/=ttyS0"},
        {"; Porta=ttyS0\n", "/dev/a=ttyS0"},
        {"porta=ttyS0\nPORTA=ttyS0\n", "<none>"},
        {"", "<none>"},
    };
    for (auto &c : cases)
        EXPECT_EQ(c[1], port_of(c[0])) << c[0];
}

TEST(PortEntry, LongLinesAndZeroBytes) {
    std::string pad(99, '-');
    EXPECT_EQ("<none>", port_of(pad + "Porta=ttyS0\n"));
    EXPECT_EQ("<none>", port_of(pad + "\nPorta" + pad + "\n"));
    EXPECT_EQ("/dev/ttyS0", port_of(pad + pad + "\nPorta=ttyS0"));
    // A name runs to the 99th character of its line, and no further.
    EXPECT_EQ("/dev/" + pad.substr(0, 87) + "Porta=", port_of(pad.substr(6) + "Porta=\n"));
    EXPECT_EQ("/dev/" + pad.substr(6), port_of("Porta=" + pad + pad + "\n"));
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
    // A CR ends the line, before its LF or at the end of the file.
    EXPECT_EQ("01,02", layout_of("237 01,02\r\n", "237"));
    EXPECT_EQ("01,02", layout_of("237 01,02\r", "237"));
    EXPECT_EQ("01,02\r", layout_of("237 01,02\r\r\n", "237"));
}

// A descriptor is read a buffer at a time: its lines, and where each ends,
// are those of the same bytes in memory wherever the buffer's edges fall.
TEST(IniReader, ADescriptorGivesTheLinesOfItsBytesInMemory) {
    std::string ini;
    for (std::size_t i = 0; ini.size() < 5 * kIniBuffer; ++i) {
        std::size_t length = i == 40 ? 2 * kIniBuffer : i * 37 % 211; // one longer than a buffer
        ini += std::string(length, static_cast<char>('a' + i % 26)) + (i % 3 ? "\n" : "\r\n");
    }
    ini += "Porta=ttyS0\r";
    int p[2];
    ASSERT_EQ(0, pipe(p));
    ASSERT_EQ(static_cast<ssize_t>(ini.size()), write(p[1], ini.data(), ini.size()));
    close(p[1]);
    IniReader from_fd(p[0]), from_memory(ini.data(), ini.size());
    char a[kIniLine], b[kIniLine];
    std::size_t lines = 0;
    for (bool more = true; more; ++lines) {
        more = from_memory.next_line(b);
        ASSERT_EQ(more, from_fd.next_line(a)) << lines;
        if (more) {
            EXPECT_STREQ(b, a) << lines;
        }
        EXPECT_EQ(from_memory.consumed(), from_fd.consumed()) << lines;
    }
    EXPECT_STREQ("Porta=ttyS0", b);
    EXPECT_EQ(ini.size(), from_fd.consumed());
    close(p[0]);
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

TEST(CheckFields, DatesMustBeDaysOfTheCalendar) {
    char out[7];
    const char *valid[] = {"31/01/26", "28/02/25", "29/02/24", "29/02/00", "31/03/26",
                           "30/04/26", "31/05/26", "30/06/26", "31/07/26", "31/08/26",
                           "30/09/26", "31/10/26", "30/11/26", "31/12/26", "01/01/00"};
    for (const char *d : valid)
        EXPECT_TRUE(normalize_date(d, out).valid) << d;
    const char *invalid[] = {"32/01/26", "29/02/25", "29/02/26", "30/02/24", "31/04/26",
                             "31/06/26", "31/09/26", "31/11/26", "00/05/26", "10/00/26",
                             "10/13/26", "1a/05/26", "10/05/2x", " 1/05/26", "10/+5/26"};
    for (const char *d : invalid) {
        DateRead r = normalize_date(d, out);
        EXPECT_FALSE(r.valid) << d;
        EXPECT_FALSE(r.show_count) << d;
        EXPECT_STREQ("", out) << d;
    }
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
    EXPECT_TRUE(amount_digits((std::string(1000, '0') + "777777777123").c_str(), digits));
    EXPECT_STREQ("777777777123", digits);
    EXPECT_FALSE(amount_digits(std::string(1000, '7').c_str(), digits));
    EXPECT_STREQ("", digits);
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

    EXPECT_EQ(5u, assemble_back_head(out, '*'));
    EXPECT_EQ(std::string("\x1b"
                          "d*\r\0",
                          5),
              std::string(out, 5));
    EXPECT_EQ(36u, assemble_back_line(out, cut, '*', 'S', text.c_str()));
    EXPECT_EQ("\x0e  " + std::string(32, 't') + "\n", std::string(out, 36));
}

} // namespace
