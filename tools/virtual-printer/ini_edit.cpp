#include "ini_edit.h"

#include "link/ini.h"

#include <cstdlib>

namespace virt {

namespace {

// A line of the file: where it starts, where its text ends (before a CR of
// its line end), and where the next line starts.
struct Span {
    std::size_t start, body_end, end;
};

// The line that ends where a reader stopped after reading it.
Span line_before(const std::string &ini, std::size_t consumed) {
    Span s{0, 0, consumed};
    std::size_t e = consumed > 0 && ini[consumed - 1] == '\n' ? consumed - 1 : consumed;
    std::size_t lf = e == 0 ? std::string::npos : ini.rfind('\n', e - 1);
    s.start = lf == std::string::npos ? 0 : lf + 1;
    s.body_end = e > s.start && ini[e - 1] == '\r' ? e - 1 : e;
    return s;
}

// The first line that is exactly text, as the library reads lines.
bool find_line(const std::string &ini, const std::string &text, Span &span) {
    IniReader in(ini.data(), ini.size());
    char line[kIniLine];
    while (in.find(text.c_str(), line))
        if (text == line) {
            span = line_before(ini, in.consumed());
            return true;
        }
    return false;
}

const char *const kHow[] = {"replaced", "added", "created"};

} // namespace

std::string with_port(const std::string &ini, bool existed, const std::string &port, long pid,
                      Change &change) {
    change = Change{};
    change.ours = "Porta=" + port;
    change.pid = pid;
    IniReader in(ini.data(), ini.size());
    char line[kIniLine];
    if (!in.find(kPortKey, line)) {
        change.how = existed ? Change::How::added : Change::How::created;
        std::size_t lf = ini.find('\n');
        bool crlf = lf != std::string::npos && lf > 0 && ini[lf - 1] == '\r';
        return change.ours + (crlf ? "\r\n" : "\n") + ini;
    }
    Span s = line_before(ini, in.consumed());
    change.how = Change::How::replaced;
    change.original = ini.substr(s.start, s.body_end - s.start);
    return ini.substr(0, s.start) + change.ours + ini.substr(s.body_end);
}

Undo undo(const std::string &ini, const Change &change, std::string &after) {
    Span s{};
    if (!find_line(ini, change.ours, s)) return Undo::not_found;
    if (change.how == Change::How::replaced) {
        after = ini.substr(0, s.start) + change.original + ini.substr(s.body_end);
        return Undo::done;
    }
    after = ini.substr(0, s.start) + ini.substr(s.end);
    return change.how == Change::How::created && after.empty() ? Undo::remove_file : Undo::done;
}

std::string change_text(const Change &change) {
    return "tarvik-virtual " + std::to_string(change.pid) + "\n" +
           kHow[static_cast<int>(change.how)] + "\n" + change.ours + "\n" + change.original +
           "\nend\n";
}

bool parse_change(const std::string &text, Change &change) {
    // Five lines: the process, how, our line, the original line, "end".
    std::string lines[5];
    std::size_t at = 0;
    for (std::string &l : lines) {
        std::size_t lf = text.find('\n', at);
        if (lf == std::string::npos) return false;
        l = text.substr(at, lf - at);
        at = lf + 1;
    }
    if (lines[0].compare(0, 15, "tarvik-virtual ") != 0 || lines[4] != "end") return false;
    change.pid = std::atol(lines[0].c_str() + 15);
    for (int h = 0; h < 3; ++h)
        if (lines[1] == kHow[h]) {
            change.how = static_cast<Change::How>(h);
            change.ours = lines[2];
            change.original = lines[3];
            return !change.ours.empty();
        }
    return false;
}

} // namespace virt
