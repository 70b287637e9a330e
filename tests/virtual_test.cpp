// tarvik-virtual as a program: it names its pseudo-terminal in tarvik.ini,
// reports in JSON what the library sends from another process, stops after
// --count commands or on a signal, and leaves tarvik.ini as it found it.
#include "support/api.h"
#include "support/harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

bool read_file(const std::string &path, std::string &data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    data = s.str();
    return true;
}

// "pts/N" from the ready line in either form.
std::string port_of(const std::string &ready) {
    std::size_t at = ready.find("pts/");
    return at == std::string::npos ? "" : ready.substr(at, ready.find_first_of("\") ", at) - at);
}

TEST(VirtualPrinter, ReportsAnotherProcessInJsonAndStopsAfterCount) {
    th::WorkDir dir;
    const std::string ini = "; printer\r\nPorta=ttyS0\r\n237 06,14,08,06,06,05,05\r\n";
    dir.write_ini(ini);
    std::string capture = dir.path() + "/session.bin";
    th::Program v(
        {TARVIK_VIRTUAL, "--json", "--count", "15", "--dir", dir.path(), "--capture", capture});
    std::string ready = v.line();
    std::string port = port_of(ready);
    ASSERT_FALSE(port.empty()) << ready;
    EXPECT_EQ("{\"type\":\"ready\",\"device\":\"/dev/" + port + "\",\"port\":\"" + port + "\"}",
              ready);

    th::ChildResult app = th::run_child([] {
        char line[] = "CAF\xc9 }", aut[] = "AUT 1", back[] = "VERSO", t1[] = "UM REAL";
        char none[] = "", date[] = "31/1/2026", amount[] = "1,00", bank[] = "237";
        tarvtxt('1', 'N', line);
        tarvaut('0', 'S', 'V', aut);
        tarvabreverso();
        tarvversotxt('+', 'N', back);
        tarvfechaverso();
        tarvlf(3);
        tarvcheque(t1, none, date, amount, none, none, bank);
        return 0;
    });
    EXPECT_TRUE(app.exited);
    EXPECT_EQ("", app.out);
    std::vector<std::string> want = {
        R"({"type":"front_text","pitch":"1","double":false,"width":80,"text":"CAFÉ }"})",
        R"({"type":"authentication","selector":"V","pitch":"0","double":true,"width":20,"text":"AUT 1"})",
        R"({"type":"back_side","on":true})",
        R"({"type":"back_text","pitch":"+","double":false,"width":39,"text":"VERSO"})",
        R"({"type":"back_side","on":false})",
        R"({"type":"line_feed","count":3})",
        R"({"type":"check_field","field":"1","text":"UM REAL"})",
        R"({"type":"check_field","field":"2","text":""})",
        R"({"type":"check_field","field":"3","text":"310126"})",
        R"({"type":"check_field","field":"4","text":"000000000100"})",
        R"({"type":"check_field","field":"5","text":""})",
        R"({"type":"check_field","field":"6","text":""})",
        R"({"type":"check_field","field":"7","text":"REAL"})",
        R"({"type":"check_field","field":"8","text":"REAIS"})",
        R"({"type":"check_field","field":"9","text":"000S06140806060505"})",
        R"({"type":"check","fields":["UM REAL","","310126","000000000100","","","REAL","REAIS","000S06140806060505"],"date":"31/01/26","amount":"000000000100","layout":"06140806060505"})",
    };
    EXPECT_EQ(want, v.rest());
    EXPECT_EQ(0, v.wait());
    std::string after;
    EXPECT_TRUE(read_file(dir.path() + "/tarvik.ini", after));
    EXPECT_EQ(ini, after);

    // The captured stream replays to the same commands.
    th::Program replay({TARVIK_VIRTUAL, "--json", "--replay", capture});
    EXPECT_EQ(want, replay.rest());
    EXPECT_EQ(0, replay.wait());
    unlink(capture.c_str());
}

// tarvik.ini while the printer runs ("{P}" stands for its port) and after.
struct IniCase {
    const char *name;
    bool exists;
    std::string before, during;
};

TEST(VirtualPrinter, RewritesOnlyThePortEntryAndPutsTarvikIniBack) {
    const std::string banks = "237 06,14,08,06,06,05,05\r\n001 05,15,08,06,06,05,05\r\n";
    const IniCase cases[] = {
        {"no file", false, "", "Porta={P}\n"},
        {"empty file", true, "", "Porta={P}\n"},
        {"CR LF lines and banks", true, "; printer\r\nPorta=ttyS0\r\n" + banks,
         "; printer\r\nPorta={P}\r\n" + banks},
        {"no port entry, CR LF", true, banks, "Porta={P}\r\n" + banks},
        {"key inside the last line, no line end", true, "237 06\nx Porta=ttyS0 ; old",
         "237 06\nPorta={P}"},
        {"the first entry only", true, "Porta=a\n\nPorta=b\n", "Porta={P}\n\nPorta=b\n"},
    };
    int n = 0;
    for (const IniCase &c : cases) {
        SCOPED_TRACE(c.name);
        th::WorkDir dir;
        std::string path = dir.path() + "/tarvik.ini";
        if (c.exists) dir.write_ini(c.before);
        th::Program v({TARVIK_VIRTUAL, "--dir", dir.path()});
        std::string port = port_of(v.line());
        ASSERT_FALSE(port.empty());
        std::string during, want = c.during;
        want.replace(want.find("{P}"), 3, port);
        EXPECT_TRUE(read_file(path, during));
        EXPECT_EQ(want, during);
        v.signal(++n % 2 ? SIGTERM : SIGINT);
        EXPECT_EQ(0, v.wait());
        std::string after;
        EXPECT_EQ(c.exists, read_file(path, after));
        EXPECT_EQ(c.before, after);
    }
}

// A reader that has stopped reading does not keep the printer from ending on
// a signal and putting tarvik.ini back.
TEST(VirtualPrinter, EndsOnASignalWhileItsReaderIsStuck) {
    th::WorkDir dir;
    dir.write_ini("x=1\n");
    th::Program v({TARVIK_VIRTUAL, "--dir", dir.path()});
    std::string port = port_of(v.line());
    ASSERT_FALSE(port.empty());
    int fd = open(("/dev/" + port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // Line feeds until the printer takes no more for a while: it is held
    // up writing its output.
    std::string feeds;
    for (int i = 0; i < 256; ++i)
        feeds.append("\n\0", 2);
    for (pollfd p{fd, POLLOUT, 0}; poll(&p, 1, 2000) == 1;)
        if (write(fd, feeds.data(), feeds.size()) < 0 && errno != EAGAIN) break;
    v.signal(SIGTERM);
    ASSERT_TRUE(v.ends_within(10000));
    EXPECT_EQ(0, v.wait());
    std::string after;
    EXPECT_TRUE(read_file(dir.path() + "/tarvik.ini", after));
    EXPECT_EQ("x=1\n", after);
    close(fd);
}

// A tarvik.ini that is a link to nothing: the printer neither writes through
// it nor removes the link it did not make.
TEST(VirtualPrinter, LeavesADanglingLinkAsItWas) {
    th::WorkDir dir;
    std::string link = dir.path() + "/tarvik.ini", target = dir.path() + "/elsewhere.ini";
    ASSERT_EQ(0, symlink("elsewhere.ini", link.c_str()));
    th::Program v({TARVIK_VIRTUAL, "--dir", dir.path()});
    if (!v.line().empty()) v.signal(SIGTERM);
    v.wait();
    char to[64] = {};
    EXPECT_EQ(13, readlink(link.c_str(), to, sizeof to - 1));
    EXPECT_EQ(-1, access(target.c_str(), F_OK));
    unlink(target.c_str());
    unlink(link.c_str());
}

} // namespace
