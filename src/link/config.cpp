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
#include <limits>
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

// ./tarvik.ini read through that buffer with plain system calls: a command
// pays for an open, the reads and a close, and no stream set-up. Its lines
// are the lines of ini_next_line, byte for byte.
class IniFile {
  public:
    // Opens the file. A file that is there but cannot be opened now, for want
    // of descriptors or memory, is a transient failure, not a missing file.
    Lookup open() {
        fd_ = ::open(kIniName, O_RDONLY | O_CLOEXEC);
        if (fd_ >= 0) return Lookup::found;
        return errno == EMFILE || errno == ENFILE || errno == ENOMEM ? Lookup::transient
                                                                     : Lookup::missing;
    }
    ~IniFile() {
        if (fd_ >= 0) close(fd_);
    }

    // As ini_next_line: at most the first 99 characters of the line, the
    // rest of a longer line skipped, the line end (LF, with a CR before it,
    // or a CR at the end of the file) left out. False at the end.
    bool next_line(char (&line)[kIniLine]) {
        const std::size_t keep = kIniLine - 1;
        // Enough in hand to tell where the line ends: its LF, or the LF
        // just after 99 characters, or the end of the file.
        while (end_ - pos_ <= keep && !find_lf(end_ - pos_) && fill()) {
        }
        std::size_t avail = end_ - pos_;
        if (avail == 0) return false;
        const char *start = buf_ + pos_;
        const char *lf = find_lf(std::min(avail, keep + 1));
        std::size_t len =
            lf != nullptr ? static_cast<std::size_t>(lf - start) : std::min(avail, keep);
        std::memcpy(line, start, len);
        line[len] = '\0';
        if (lf == nullptr && avail > keep) {
            // 99 characters and no line end yet: drop the rest of the line.
            pos_ += len;
            skip_line();
            return true;
        }
        pos_ += lf != nullptr ? len + 1 : len;
        std::size_t n = std::strlen(line);
        if (n > 0 && line[n - 1] == '\r') line[n - 1] = '\0';
        return true;
    }

    // The first line holding needle, as ini_find. Lines end only at an LF,
    // so a line before the needle's first place in the buffer cannot hold
    // it: those are passed over whole, and only the line where the needle
    // shows is read and tested as a line.
    bool find(const char *needle, char (&line)[kIniLine]) {
        const std::size_t n = std::strlen(needle);
        for (;;) {
            if (pos_ == end_ && !fill()) return false;
            const char *from = buf_ + pos_;
            const char *hit = static_cast<const char *>(memmem(from, end_ - pos_, needle, n));
            if (hit == nullptr) {
                // Pass the whole lines; keep the last, unfinished one, which
                // the needle may run past the end of.
                if (const char *lf = last_lf(from, buf_ + end_)) {
                    pos_ = static_cast<std::size_t>(lf - buf_) + 1;
                } else if (pos_ == 0 && end_ == sizeof buf_) {
                    // One line fills the buffer: its first 99 characters,
                    // all that counts, do not hold the needle.
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

  private:
    // The last LF in [from, to), or null.
    static const char *last_lf(const char *from, const char *to) {
        return static_cast<const char *>(memrchr(from, '\n', static_cast<std::size_t>(to - from)));
    }

    const char *find_lf(std::size_t within) const {
        return static_cast<const char *>(std::memchr(buf_ + pos_, '\n', within));
    }

    // Moves what is left to the front and reads more after it. False at the
    // end of the file or on a read error, which ends the file too.
    bool fill() {
        std::memmove(buf_, buf_ + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
        for (;;) {
            ssize_t got = read(fd_, buf_ + end_, sizeof buf_ - end_);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            end_ += static_cast<std::size_t>(got);
            return true;
        }
    }

    // Skips to just past the next LF, or to the end of the file.
    void skip_line() {
        for (;;) {
            if (const char *lf = find_lf(end_ - pos_)) {
                pos_ = static_cast<std::size_t>(lf - buf_) + 1;
                return;
            }
            pos_ = end_;
            if (!fill()) return;
        }
    }

    int fd_ = -1;
    char (&buf_)[sizeof ini_buffer] = ini_buffer;
    std::size_t pos_ = 0, end_ = 0;
};

} // namespace

void ini_missing() {
    // The process ends: a port it holds goes back as it was found first.
    release_held_port();
    std::fprintf(stdout, "erro abertura tarvik.ini");
    std::exit(1);
}

bool ini_next_line(std::istream &in, char (&line)[kIniLine]) {
    line[0] = '\0';
    in.getline(line, kIniLine);
    if (in.gcount() == 0) return false; // end of file, or a read error
    if (in.fail() && !in.eof()) {
        // 99 characters taken and no line end yet: drop the rest of the
        // line so that it is not read as a line of its own.
        in.clear();
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        return true;
    }
    // The line ended: a CR before its LF, or before the end of the file,
    // belongs to the line end of a file saved with CR LF.
    std::size_t len = std::strlen(line);
    if (len > 0 && line[len - 1] == '\r') line[len - 1] = '\0';
    return true;
}

bool ini_find(std::istream &in, const char *needle, char (&line)[kIniLine]) {
    while (ini_next_line(in, line))
        if (std::strstr(line, needle) != nullptr) return true;
    return false;
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

bool ini_port(std::istream &in, char (&path)[kPortPath]) {
    char line[kIniLine];
    if (!ini_find(in, kPortKey, line)) return false;
    port_path(line, path);
    return true;
}

void ini_layout(std::istream &in, const char *code, char (&layout)[kLayout]) {
    char line[kIniLine];
    if (ini_find(in, code, line))
        layout_of(line, layout);
    else
        copy_cut(layout, kDefaultLayout, kLayout - 1);
}

Lookup port_lookup(char (&path)[kPortPath]) {
    IniFile ini;
    Lookup opened = ini.open();
    if (opened != Lookup::found) return opened;
    char line[kIniLine];
    if (!ini.find(kPortKey, line)) return Lookup::none;
    port_path(line, path);
    return Lookup::found;
}

Lookup layout_lookup(const char *code, char (&layout)[kLayout]) {
    IniFile ini;
    Lookup opened = ini.open();
    if (opened != Lookup::found) return opened;
    char line[kIniLine];
    if (ini.find(code, line))
        layout_of(line, layout);
    else
        copy_cut(layout, kDefaultLayout, kLayout - 1);
    return Lookup::found;
}
