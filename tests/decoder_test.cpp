// The virtual printer's decoder: every command of the library, sent through a
// real pseudo-terminal, comes back with what it was given; streams that the
// library never sends are reported byte for byte and do not stop it. Then the
// lines that show the events, and the conversion of their texts.
#include "charset.h"
#include "decoder.h"
#include "format.h"
#include "support/api.h"
#include "support/harness.h"
#include "support/printer.h"
#include "svg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using th::field;
using th::hex;
using virt::Event;
using virt::Kind;

// An event in a short form: "front 1S40 text", "lf 3", "unknown 1B 5A".
std::string describe(const Event &e) {
    auto line = [&](const char *what) {
        return std::string(what) + " " + e.pitch + (e.twice ? "S" : "N") + std::to_string(e.width) +
               " " + e.text;
    };
    switch (e.kind) {
    case Kind::line_feed:
        return "lf " + std::to_string(e.count);
    case Kind::back_side:
        return e.on ? "back on" : "back off";
    case Kind::front_text:
        return line("front");
    case Kind::authentication:
        return line((std::string("aut ") + e.selector).c_str());
    case Kind::back_text:
        return line("back");
    case Kind::check_field:
        return std::string("field ") + e.field + " " + e.text;
    case Kind::check:
        return "check " + virt::check_date(e) + " " + virt::check_amount(e) + " " +
               virt::check_layout(e);
    case Kind::unknown:
        return "unknown " + virt::hex_bytes(e.raw);
    }
    return "?";
}

// Decodes the stream whole, and again one byte at a time: both must agree,
// and every byte must be in exactly one event.
std::vector<std::string> decode(const std::string &stream) {
    std::vector<std::string> once, bytewise;
    std::string seen;
    virt::Decoder a, b;
    for (std::vector<Event> events : {a.feed(stream.data(), stream.size()), a.finish()})
        for (const Event &e : events) {
            once.push_back(describe(e));
            seen += e.raw;
        }
    for (char c : stream)
        for (const Event &e : b.feed(&c, 1))
            bytewise.push_back(describe(e));
    for (const Event &e : b.finish())
        bytewise.push_back(describe(e));
    EXPECT_EQ(stream, seen) << "bytes lost or repeated";
    EXPECT_EQ(once, bytewise) << "a cut stream decodes differently";
    return once;
}

// The library sends; the printer's side decodes what arrived.
class RoundTrip : public th::Printer {
  protected:
    template <class F> std::vector<std::string> sent(F command) {
        EXPECT_EQ(1, run(command));
        std::string all;
        for (const std::string &b : th::blocks(log))
            all += b;
        return decode(pty.read(all.size()));
    }
};

const char kCodes[] = "0123456789*+";
// A text the stream can carry on any line: a '}', ESC and 8-bit bytes.
const std::string kOdd = "a}\x1b\xe9\xff z";

TEST_F(RoundTrip, TextLinesAtEveryPitchAndWidth) {
    for (const char *p = kCodes; *p != '\0'; ++p) {
        for (char flag : {'N', 'S'}) {
            char code = *p, f = flag, control;
            int front, back;
            setme(code, f, front, control);
            setmev(code, f, back, control);
            std::string tag = std::string{*p, flag == 'S' ? 'S' : 'N'};
            std::string t = kOdd;
            EXPECT_EQ(std::vector<std::string>{"front " + tag + std::to_string(front) + " " + kOdd},
                      sent([&] { return tarvtxt(*p, flag, &t[0]); }));
            EXPECT_EQ(std::vector<std::string>{"back " + tag + std::to_string(back) + " " + kOdd},
                      sent([&] { return tarvversotxt(*p, flag, &t[0]); }));
        }
    }
    // An unknown pitch is sent as '0', and a full line comes back whole.
    std::string full(45, 'x');
    EXPECT_EQ(std::vector<std::string>{"front 0N40 " + full.substr(0, 40)},
              sent([&] { return tarvtxt('Q', 'N', &full[0]); }));
    EXPECT_EQ(std::vector<std::string>{"back 5N81 " + std::string(45, 'x')},
              sent([&] { return tarvversotxt('5', 'N', &full[0]); }));
}

TEST_F(RoundTrip, AuthenticationWithEachSelector) {
    std::string t = kOdd;
    for (char sel : {'Y', 'V', 'X', 'Q'}) {
        std::string want = std::string("aut ") + (sel == 'Q' ? 'X' : sel) + " *S36 " + kOdd;
        EXPECT_EQ(std::vector<std::string>{want},
                  sent([&] { return tarvaut('*', 'S', sel, &t[0]); }));
    }
}

TEST_F(RoundTrip, LineFeedsAndBackSideMode) {
    using V = std::vector<std::string>;
    EXPECT_EQ(V{"lf 0"}, sent([] { return tarvlf(-3); }));
    EXPECT_EQ(V{"lf 1"}, sent([] { return tarvlf(1); }));
    EXPECT_EQ(V{"lf 10"}, sent([] { return tarvlf(12); }));
    EXPECT_EQ(V{"back on"}, sent([] { return tarvabreverso(); }));
    EXPECT_EQ(V{"back off"}, sent([] { return tarvfechaverso(); }));
}

TEST_F(RoundTrip, CheckFieldsAndTheCheck) {
    dir.write_ini("Porta=" + pty.name() + "\n237 06,14,08,06,06,05,05\n");
    char t1[] = "MIL \x1b REAIS \xe7", t2[] = "", date[] = "8/12/2026", amount[] = "1.234,56";
    char t5[] = "FULANO", t6[] = "SAO PAULO", bank[] = "237";
    EXPECT_EQ((std::vector<std::string>{
                  "field 1 MIL   REAIS \xe7", "field 2 ", "field 3 081226", "field 4 000000123456",
                  "field 5 FULANO", "field 6 SAO PAULO", "field 7 REAL", "field 8 REAIS",
                  "field 9 000S06140806060505", "check 08/12/26 R$ 1.234,56 06140806060505"}),
              sent([&] { return tarvcheque(t1, t2, date, amount, t5, t6, bank); }));
    // A field alone, with every code and a text holding ESC and '}', which
    // go as spaces, and 8-bit bytes.
    for (char code = '1'; code <= '9'; ++code) {
        char text[] = "\x1b\x80 x}\xff";
        EXPECT_EQ(std::vector<std::string>{std::string("field ") + code + "  \x80 x \xff"},
                  sent([&] {
                      int fd = serial_open();
                      chequecom(fd, code, text);
                      serial_close(fd);
                      return 1;
                  }));
    }
}

// Streams the library never sends.
struct Malformed {
    const char *name;
    std::string stream;
    std::vector<std::string> events;
};

TEST(Decoder, MalformedAndTruncatedStreams) {
    std::string front = hex("1B 64 30 14") + "ok\n";
    std::string long_field = hex("1B 2E 35 39 30 31") + std::string(93, 'x') + "}";
    const Malformed cases[] = {
        {"unknown escape", hex("1B 5A") + front, {"unknown 1B 5A", "front 0N40 ok"}},
        {"eleven line feeds", std::string(11, '\n') + '\0', {"unknown 0A", "lf 10"}},
        {"junk before a zero", hex("41 42 00"), {"unknown 41 42", "lf 0"}},
        {"pitch outside the table", hex("1B 64 41 14 78 0A"), {"unknown 1B 64 41 14 78 0A"}},
        {"control byte unknown", hex("1B 64 30 15 78 0A 00"), {"unknown 1B 64 30 15 78", "lf 1"}},
        {"front text too long",
         hex("1B 64 30 0E") + std::string(21, 'A') + "\n",
         {"unknown 1B 64 30 0E " + virt::hex_bytes(std::string(21, 'A')) + " 0A"}},
        {"back line without its spaces",
         hex("1B 64 30 0D 00 14 20 41 0A 00"),
         {"unknown 1B 64 30 0D", "lf 0", "unknown 14 20 41", "lf 1"}},
        {"back side on without 0A 00",
         hex("1B 2E 35 39 31 35 7D 00") + front,
         {"unknown 1B 2E 35 39 31 35 7D", "lf 0", "front 0N40 ok"}},
        {"field code 0", hex("1B 2E 35 39 30 30 78 7D"), {"unknown 1B 2E 35 39 30 30 78 7D"}},
        // Unknown bytes come in pieces of at most 64.
        {"field text too long",
         long_field,
         {"unknown " + virt::hex_bytes(long_field.substr(0, 64)),
          "unknown " + virt::hex_bytes(long_field.substr(64))}},
        {"'}' ends a field text",
         hex("1B 2E 35 39 30 31") + "a}b}",
         {"field 1 a", "unknown 62 7D"}},
        {"LF ends a front text", hex("1B 64 30 14") + "a\nb\n", {"front 0N40 a", "unknown 62 0A"}},
        {"cut short", hex("1B 59 1B 64 30 14 61"), {"unknown 1B 59 1B 64 30 14 61"}},
        {"cut short after ESC", front + hex("1B"), {"front 0N40 ok", "unknown 1B"}},
    };
    for (const Malformed &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.events, decode(c.stream));
    }
}

TEST(Decoder, ACheckIsNineFieldsInOrderWithNothingBetween) {
    std::string nine;
    for (char c = '1'; c <= '9'; ++c)
        nine += field(c, c == '4' ? "000000000005" : "");
    auto checks = [](const std::vector<std::string> &events) {
        int n = 0;
        for (const std::string &e : events)
            n += e.compare(0, 6, "check ") == 0;
        return n;
    };
    EXPECT_EQ(1, checks(decode(nine)));
    EXPECT_EQ("check  R$ 0,05 ", decode(nine).back());
    EXPECT_EQ(1, checks(decode(field('1', "x") + field('2', "y") + nine)));
    std::string broken = nine;
    broken.insert(broken.find(field('5', "")), "\n\0", 2);
    EXPECT_EQ(0, checks(decode(broken)));
    EXPECT_EQ(
        0, checks(decode(field('1', "") + field('3', "") + nine.substr(nine.find("\x1b.5904")))));
}

} // namespace

namespace {

// Texts are shown whole: every character as it is; controls, bytes that are
// no character and what XML cannot hold as escapes.
TEST(Shown, CharactersStayWholeAndControlsBecomeEscapes) {
    const char *cases[][2] = {
        {"A\xc3\x87\xc3\x83O", "A\xc3\x87\xc3\x83O"}, // ÇÃ
        {"\xe2\x82\xac 5", "\xe2\x82\xac 5"},         // €
        {"a\x1b}\n", "a\\x1B}\\x0A"},
        {"\xc2\x87\x7f", "\\x87\\x7F"}, // C1 control, DEL
        {"\x87x\xc3", "\\x87x\\xC3"},   // a stray continuation, a cut lead byte
        {"\xed\xa0\x80\xef\xbf\xbe", "\\uD800\\uFFFE"},
        {"\xfd\xbf\xbf\xbf\xbf\xbf", "\\U7FFFFFFF"}, // as iconv writes 7FFFFFFF
        {"\xc0\x80", "\\xC0\\x80"},                  // not in its shortest form
    };
    for (auto &c : cases)
        EXPECT_EQ(c[1], virt::visible(c[0])) << c[0];
}

// Texts from the printer's code page as they are shown. What does not
// convert becomes U+FFFD, even where iconv takes it and still fails; what
// iconv gives beyond U+10FFFF is shown as an escape. tarvik-print's way
// stops at what does not convert.
TEST(Charset, CodePagesAsShown) {
    const struct {
        const char *from;
        std::string bytes, shown;
        charset::Bad bad = charset::Bad::replace;
    } cases[] = {
        {"LATIN1", "CAF\xc9", "CAF\xc3\x89"},
        {"ISO-2022-CN-EXT", "\x1b\x64\x0e", "\\x1Bd\xef\xbf\xbd"},
        {"UTF-8",
         "A\xf4\x90\x80\x80"
         "B\xff",
         "A\\U00110000B\xef\xbf\xbd"},
        {"UCS-4", std::string("\0\x11\0\0", 4), "\\U00110000"},
        {"UTF-8",
         "A\xff"
         "B",
         "A", charset::Bad::refuse},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.from);
        charset::Converter cs("UTF-8", c.from);
        std::string out;
        std::size_t at = 0;
        EXPECT_EQ(c.bad == charset::Bad::replace, cs.convert(c.bytes, out, c.bad, &at));
        EXPECT_EQ(c.shown, virt::visible(out));
        if (c.bad == charset::Bad::refuse) {
            EXPECT_EQ(1u, at);
        }
    }
}

std::string latin1(const std::string &bytes) {
    charset::Converter cs("UTF-8", "LATIN1");
    std::string out;
    cs.convert(bytes, out, charset::Bad::replace);
    return out;
}

// The line of each kind of event, in words and in JSON, for the last event
// of a stream; --hex adds the command's bytes.
TEST(Format, EachKindInWordsAndJson) {
    const char *texts[] = {"UM REAL", "", "310126", "000000000100",      "",
                           "",        "", "",       "000S06140806060505"};
    std::string nine;
    for (char c = '1'; c <= '9'; ++c)
        nine += field(c, texts[c - '1']);
    const struct {
        std::string stream;
        bool hex;
        const char *words, *json;
    } cases[] = {
        {hex("0A 0A 0A 00"), false, "line feed 3", R"({"type":"line_feed","count":3})"},
        {hex("1B 2E 35 39 31 35 7D 00 0A 00"), false, "back side on",
         R"({"type":"back_side","on":true})"},
        {hex("1B 64 31 14") + "CAF\xc9 }\n", false, "front text pitch 1 width 80: \"CAFÉ }\"",
         R"({"type":"front_text","pitch":"1","double":false,"width":80,"text":"CAFÉ }"})"},
        {hex("1B 56 1B 64 30 0E") + "A\x1b\n", true,
         "authentication V pitch 0 double width 20: \"A\\x1B\"  [1B 56 1B 64 30 0E 41 1B 0A]",
         R"({"type":"authentication","selector":"V","pitch":"0","double":true,"width":20,"text":"A\u001b","hex":"1B 56 1B 64 30 0E 41 1B 0A"})"},
        {hex("1B 64 2B 0D 00 14 20 20") + "VERSO\n", false, "back text pitch + width 39: \"VERSO\"",
         R"({"type":"back_text","pitch":"+","double":false,"width":39,"text":"VERSO"})"},
        {field('1', "UM REAL"), false, "check field 1: \"UM REAL\"",
         R"({"type":"check_field","field":"1","text":"UM REAL"})"},
        {nine, true, "check date 31/01/26, amount R$ 1,00, layout 06140806060505",
         R"({"type":"check","fields":["UM REAL","","310126","000000000100","","","","","000S06140806060505"],"date":"31/01/26","amount":"000000000100","layout":"06140806060505"})"},
        {hex("1B 5A"), true, "unknown 1B 5A", R"({"type":"unknown","hex":"1B 5A"})"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.words);
        virt::Decoder d;
        std::vector<Event> events = d.feed(c.stream.data(), c.stream.size());
        for (Event &e : d.finish())
            events.push_back(e);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(c.words, virt::text_line(events.back(), latin1, c.hex));
        EXPECT_EQ(c.json, virt::json_line(events.back(), latin1, c.hex));
    }
}

// A picture is as tall as what it shows: line feeds alone, which it keeps
// nothing of, take it past what an int holds.
TEST(Picture, AsTallAsItsLineFeeds) {
    virt::Picture picture(latin1);
    Event feed;
    feed.kind = Kind::line_feed;
    feed.count = 10;
    for (int i = 0; i < 10000000; ++i)
        picture.add(feed);
    std::string svg = virt::svg(picture.layout());
    // The front sheet's title and margins, and its lines.
    EXPECT_EQ(84 + 2200000000LL, std::stoll(svg.substr(svg.find("height=\"") + 8)));
}

} // namespace
