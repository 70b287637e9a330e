// tarvik.ini: the port entry and the bank layouts. The file is read afresh on
// every look-up so that an edit takes effect on the next call.
#include "link.h"

#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char kIniName[] = "tarvik.ini";
const char kDefaultLayout[] = "05,15,08,06,06,05,05";
// What ends a device name, so that "Porta=ttyS0;COM1" or a trailing blank
// still name ttyS0.
const char kNameEnd[] = "\r\n \t,;";

// Where tarvik.ini is read. Library-wide, like the command buffer, as one
// call runs at a time; large, so that a long file takes few reads.
char ini_buffer[kIniBuffer];

// Opens ./tarvik.ini. A file that is there but cannot be opened now, for
// want of descriptors or memory, is a transient failure, not a missing file.
Lookup open_ini(int &fd) {
    fd = open(kIniName, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return Lookup::found;
    return errno == EMFILE || errno == ENFILE || errno == ENOMEM ? Lookup::transient
                                                                 : Lookup::missing;
}

} // namespace

void ini_missing() {
    // The process ends: a port it holds goes back as it was found first.
    release_held_port();
    std::fprintf(stdout, "erro abertura tarvik.ini");
    std::exit(1);
}

IniReader::IniReader(int fd) : fd_(fd), buf_(ini_buffer), end_(0) {}

IniReader::IniReader(const char *data, std::size_t size) : fd_(-1), buf_(data), end_(size) {}

bool IniReader::next_line(char (&line)[kIniLine]) {
    const std::size_t keep = kIniLine - 1;
    // Enough in hand to tell where the line ends: its LF, the LF just after
    // 99 characters, or the end of the input.
    while (end_ - pos_ <= keep && find_lf(end_ - pos_) == nullptr && fill()) {
    }
    std::size_t avail = end_ - pos_;
    if (avail == 0) return false;
    const char *start = buf_ + pos_;
    const char *lf = find_lf(std::min(avail, keep + 1));
    std::size_t len = lf != nullptr ? static_cast<std::size_t>(lf - start) : std::min(avail, keep);
    std::memcpy(line, start, len);
    line[len] = '\0';
    if (lf == nullptr && avail > keep) {
        // 99 characters and no line end yet: drop the rest of the line so
        // that it is not read as a line of its own.
        pos_ += len;
        skip_line();
        return true;
    }
    pos_ += lf != nullptr ? len + 1 : len;
    // The line ended: a CR before its LF, or before the end of the input,
    // belongs to the line end of a file saved with CR LF.
    std::size_t n = std::strlen(line);
    if (n > 0 && line[n - 1] == '\r') line[n - 1] = '\0';
    return true;
}

bool IniReader::find(const char *needle, char (&line)[kIniLine]) {
    // Lines end only at an LF, so no line before the needle's first place in
    // what is in hand can hold it: those lines are passed over whole, and
    // only the line where the needle shows is read and tested as a line.
    const std::size_t n = std::strlen(needle);
    for (;;) {
        if (pos_ == end_ && !fill()) return false;
        const char *from = buf_ + pos_;
        const char *hit = static_cast<const char *>(memmem(from, end_ - pos_, needle, n));
        if (hit == nullptr) {
            // Pass the whole lines; keep the last, unfinished one, which the
            // needle may run on past what is in hand.
            if (const char *lf = last_lf(from, buf_ + end_)) {
                pos_ = static_cast<std::size_t>(lf - buf_) + 1;
            } else if (fd_ >= 0 && pos_ == 0 && end_ == kIniBuffer) {
                // One line fills the buffer: its first 99 characters, all
                // that counts of it, do not hold the needle.
                skip_line();
                continue;
            }
            if (!fill()) return false;
            continue;
        }
        if (const char *lf = last_lf(from, hit)) pos_ = static_cast<std::size_t>(lf - buf_) + 1;
        if (!next_line(line)) return false;
        if (std::strstr(line, needle) != nullptr) return true;
    }
}

const char *IniReader::last_lf(const char *from, const char *to) {
    return static_cast<const char *>(memrchr(from, '\n', static_cast<std::size_t>(to - from)));
}

const char *IniReader::find_lf(std::size_t within) const {
    return static_cast<const char *>(std::memchr(buf_ + pos_, '\n', within));
}

// Moves what is left to the front of the buffer and reads more after it.
// False at the end of the input or on a read error, which ends it too.
bool IniReader::fill() {
    if (fd_ < 0) return false; // bytes in memory are all there is
    std::memmove(ini_buffer, buf_ + pos_, end_ - pos_);
    base_ += pos_;
    end_ -= pos_;
    pos_ = 0;
    for (;;) {
        ssize_t got = read(fd_, ini_buffer + end_, sizeof ini_buffer - end_);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        end_ += static_cast<std::size_t>(got);
        return true;
    }
}

// Skips to just past the next LF, or to the end of the input.
void IniReader::skip_line() {
    for (;;) {
        if (const char *lf = find_lf(end_ - pos_)) {
            pos_ = static_cast<std::size_t>(lf - buf_) + 1;
            return;
        }
        pos_ = end_;
        if (!fill()) return;
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

Lookup port_lookup(char (&path)[kPortPath]) {
    int fd;
    Lookup opened = open_ini(fd);
    if (opened != Lookup::found) return opened;
    IniReader in(fd);
    bool found = ini_port(in, path);
    close(fd);
    return found ? Lookup::found : Lookup::none;
}

Lookup layout_lookup(const char *code, char (&layout)[kLayout]) {
    int fd;
    Lookup opened = open_ini(fd);
    if (opened != Lookup::found) return opened;
    IniReader in(fd);
    ini_layout(in, code, layout);
    close(fd);
    return Lookup::found;
}
