// The look-ups on ./tarvik.ini. The file is read afresh on every look-up so
// that an edit takes effect on the next call.
#include "link.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char kIniName[] = "tarvik.ini";

// Opens ./tarvik.ini. A file that is there but cannot be opened now, for
// want of descriptors or memory, is a transient failure, not a missing file.
// O_NONBLOCK: a named pipe there must not hold the command up until a writer
// comes; it reads as empty. A regular file reads as ever.
Lookup open_ini(int &fd) {
    fd = open(kIniName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) return Lookup::found;
    return errno == EMFILE || errno == ENFILE || errno == ENOMEM ? Lookup::transient
                                                                 : Lookup::missing;
}

} // namespace

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
