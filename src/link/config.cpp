// tarvik.ini: the port entry and the bank layouts. The file is read afresh on
// every look-up so that an edit takes effect on the next call.
#include "link.h"

#include "text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>

namespace {

const char kIniName[] = "tarvik.ini";
const char kDefaultLayout[] = "05,15,08,06,06,05,05";
// What ends a device name, so that "Porta=ttyS0;COM1" or a trailing blank
// still name ttyS0.
const char kNameEnd[] = "\r\n \t,;";

// Opens ./tarvik.ini. A file that is there but cannot be opened now, for
// want of descriptors or memory, is a transient failure, not a missing file.
Lookup open_ini(std::ifstream &in) {
    errno = 0;
    in.open(kIniName);
    if (in.is_open()) return Lookup::found;
    return errno == EMFILE || errno == ENFILE || errno == ENOMEM ? Lookup::transient
                                                                 : Lookup::missing;
}

} // namespace

void ini_missing() {
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
    std::ifstream in;
    Lookup opened = open_ini(in);
    if (opened != Lookup::found) return opened;
    return ini_port(in, path) ? Lookup::found : Lookup::none;
}

Lookup layout_lookup(const char *code, char (&layout)[kLayout]) {
    std::ifstream in;
    Lookup opened = open_ini(in);
    if (opened != Lookup::found) return opened;
    ini_layout(in, code, layout);
    return Lookup::found;
}
