// tarvik.ini: the port entry and the bank layouts. The file is read afresh on
// every look-up so that an edit takes effect on the next call.
#include "link.h"

#include "text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>

namespace {

const char kIniName[] = "tarvik.ini";
const char kPortKey[] = "Porta=";
const char kDefaultLayout[] = "05,15,08,06,06,05,05";

} // namespace

void ini_missing() {
    std::fprintf(stdout, "erro abertura tarvik.ini");
    std::exit(1);
}

bool ini_find(std::istream &in, const char *needle, char (&line)[kIniLine]) {
    for (;;) {
        line[0] = '\0';
        in.getline(line, kIniLine);
        if (in.gcount() == 0) return false; // end of file, or a read error
        if (in.fail()) {
            // 99 characters taken and no line end yet: drop the rest of the
            // line so that it is not read as a line of its own.
            in.clear();
            in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        }
        if (std::strstr(line, needle) != nullptr) return true;
    }
}

bool ini_port(std::istream &in, char (&path)[kPortPath]) {
    char line[kIniLine];
    if (!ini_find(in, kPortKey, line)) return false;
    // The name is read from position 6 of the line wherever the key stands,
    // and a line holding the key is at least 6 characters long.
    std::memcpy(path, "/dev/", 5);
    copy_cut(path + 5, line + 6, 5);
    return true;
}

void ini_layout(std::istream &in, const char *code, char (&layout)[kLayout]) {
    char line[kIniLine];
    if (!ini_find(in, code, line)) {
        copy_cut(layout, kDefaultLayout, kLayout - 1);
        return;
    }
    // Code, one separator, then the layout; a bare code gives an empty one.
    std::size_t len = std::strlen(line);
    copy_cut(layout, len > 4 ? line + 4 : "", kLayout - 1);
}

bool port_lookup(char (&path)[kPortPath]) {
    std::ifstream in(kIniName);
    if (!in.is_open()) ini_missing();
    return ini_port(in, path);
}

bool layout_lookup(const char *code, char (&layout)[kLayout]) {
    std::ifstream in(kIniName);
    if (!in.is_open()) return false;
    ini_layout(in, code, layout);
    return true;
}
