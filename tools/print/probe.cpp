// Looks at the device the way a command would open it, and changes nothing:
// no settings are applied, and its lock is never taken while /proc/locks
// tells who holds it.
#include "probe.h"

#include "files.h"
#include "link/ini.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tarvik_print::probe {

Ini read_ini() {
    Ini ini;
    // A directory reads as empty, as it does for a look-up.
    struct stat st {};
    if (stat("tarvik.ini", &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
            ini.opened = true;
        else
            ini.kind = files::kind_of(st.st_mode);
        return ini;
    }
    ini.opened = files::read_file("tarvik.ini", ini.bytes);
    if (!ini.opened) {
        ini.err = errno;
        ini.why = std::strerror(errno);
    }
    return ini;
}

std::optional<std::string> device_path(const Ini &ini) {
    if (!ini.opened) return std::nullopt;
    IniReader in(ini.bytes.data(), ini.bytes.size());
    char path[kPortPath];
    if (!ini_port(in, path)) return std::nullopt;
    return std::string(path);
}

Modem modem_lines(int fd) {
    Modem m;
    m.err = ioctl(fd, TIOCMGET, &m.bits) == 0 ? 0 : errno;
    return m;
}

std::optional<Holder> holder_of(const struct stat &st) {
    std::string locks;
    if (!files::read_file("/proc/locks", locks)) return std::nullopt;
    Holder h;
    h.pid = lock_holder(locks, st.st_dev, st.st_ino);
    if (h.pid == 0) return h;
    if (!files::read_file("/proc/" + std::to_string(h.pid) + "/comm", h.name)) h.name.clear();
    if (!h.name.empty() && h.name.back() == '\n') h.name.pop_back();
    if (h.name.empty()) h.name = "name unknown";
    return h;
}

Device device(const std::string &path) {
    Device p;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        // The errno that the library's open meets on the same path.
        p.err = errno;
        p.state = errno == ENOENT   ? Device::State::missing
                  : errno == EACCES ? Device::State::no_permission
                                    : Device::State::open_failed;
        return p;
    }
    if (group *g = getgrgid(st.st_gid)) p.group = g->gr_name;
    if (passwd *u = getpwuid(st.st_uid)) p.owner = u->pw_name;
    p.mode = st.st_mode;
    if (!S_ISCHR(st.st_mode)) {
        p.state = Device::State::not_char;
        p.kind = files::kind_of(st.st_mode);
        return p;
    }
    // As a command opens it, but without waiting for carrier detect.
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        p.err = errno;
        p.state = errno == EACCES || errno == EPERM ? Device::State::no_permission
                                                    : Device::State::open_failed;
        return p;
    }
    if (tcgetattr(fd, &p.settings) != 0) {
        p.err = errno;
        p.state = Device::State::not_terminal;
        close(fd);
        return p;
    }
    p.state = Device::State::opened;
    p.modem = modem_lines(fd);
    if (std::optional<Holder> h = holder_of(st)) {
        p.holder = *h;
        p.locked = h->pid != 0;
    } else if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Nothing else tells whether another program holds it: the lock is
        // tried, and let go at once.
        flock(fd, LOCK_UN);
    } else {
        p.locked = errno == EWOULDBLOCK;
    }
    close(fd);
    return p;
}

pid_t lock_holder(const std::string &proc_locks, dev_t dev, ino_t ino) {
    std::istringstream in(proc_locks);
    std::string entry;
    while (std::getline(in, entry)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:02:1051 0 EOF"; a line with "->"
        // is a process waiting for the lock, not holding it.
        std::istringstream f(entry);
        std::string id, type, mode, access, where;
        long pid = 0;
        if (!(f >> id >> type) || type != "FLOCK") continue;
        if (!(f >> mode >> access >> pid >> where)) continue;
        unsigned maj = 0, min = 0;
        unsigned long long node = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &maj, &min, &node) != 3) continue;
        if (maj == major(dev) && min == minor(dev) && node == static_cast<unsigned long long>(ino))
            return static_cast<pid_t>(pid);
    }
    return 0;
}

} // namespace tarvik_print::probe
