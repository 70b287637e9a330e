// The rules of tarvik.ini: its lines, the port entry and the bank layouts.
#include "link/ini.h"

#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

const char kDefaultLayout[] = "05,15,08,06,06,05,05";
// What ends a device name, so that "Porta=ttyS0;COM1" or a trailing blank
// still name ttyS0.
const char kNameEnd[] = "\r\n \t,;";

} // namespace

IniReader::IniReader(int fd) : fd_(fd), data_(buf_), end_(0) {}

IniReader::IniReader(const char *data, std::size_t size) : fd_(-1), data_(data), end_(size) {}

bool IniReader::next_line(char (&line)[kIniLine]) {
    const std::size_t keep = kIniLine - 1;
    // Characters of the line seen so far, counted up to one past what is
    // kept: enough to tell a line of 99 from a longer one.
    std::size_t seen = 0;
    bool any = false;
    for (;;) {
        if (pos_ == end_ && !fill()) break;
        any = true;
        const char *from = data_ + pos_;
        const char *lf = static_cast<const char *>(std::memchr(from, '\n', end_ - pos_));
        std::size_t len = lf != nullptr ? static_cast<std::size_t>(lf - from) : end_ - pos_;
        if (seen < keep) std::memcpy(line + seen, from, std::min(len, keep - seen));
        seen = std::min(seen + len, keep + 1);
        pos_ += len;
        if (lf != nullptr) {
            ++pos_;
            break;
        }
    }
    if (!any) return false;
    std::size_t n = std::min(seen, keep);
    // A CR that ends a line of no more than 99 characters belongs to the
    // line end of a file saved with CR LF.
    if (seen <= keep && n > 0 && line[n - 1] == '\r') --n;
    line[n] = '\0';
    return true;
}

bool IniReader::find(const char *needle, char (&line)[kIniLine]) {
    while (next_line(line))
        if (std::strstr(line, needle) != nullptr) return true;
    return false;
}

// Reads the next bytes of the descriptor over the buffer. False at the end
// of the input or on a read error, which ends it too.
bool IniReader::fill() {
    if (fd_ < 0) return false; // bytes in memory are all there is
    base_ += end_;
    pos_ = end_ = 0;
    for (;;) {
        ssize_t got = read(fd_, buf_, sizeof buf_);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        end_ = static_cast<std::size_t>(got);
        return true;
    }
}

void port_path(const char *line, char (&path)[kPortPath]) {
    std::memcpy(path, "/dev/", 5);
    // The name is read from position 6 wherever the key stands, so a
    // comment mark in front of the key shifts it.
    const char *name = std::strlen(line) >= 6 ? line + 6 : "";
    copy_cut(path + 5, name, std::strcspn(name, kNameEnd));
}

void layout_of(const char *line, char (&layout)[kLayout]) {
    // Code, one separator, then the layout; a bare code gives an empty one.
    copy_cut(layout, std::strlen(line) > 4 ? line + 4 : "", kLayout - 1);
}

bool ini_port(IniReader &in, char (&path)[kPortPath]) {
    char line[kIniLine];
    if (!in.find(kPortKey, line)) return false;
    port_path(line, path);
    return true;
}

void ini_layout(IniReader &in, const char *code, char (&layout)[kLayout]) {
    char line[kIniLine];
    if (in.find(code, line))
        layout_of(line, layout);
    else
        copy_cut(layout, kDefaultLayout, kLayout - 1);
}
