// Looks at the device the way a command would open it, and changes nothing:
// no settings are applied, and a lock taken to test for another holder is
// let go at once.
#include "probe.h"

#include "files.h"

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace doctor {

namespace {

std::string read_file(const std::string &name) {
    std::string all;
    return files::read_file(name, all) ? all : "";
}

} // namespace

Probe probe_device(const std::string &path) {
    Probe p;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        // The errno that the library's open meets on the same path.
        p.err = errno;
        p.state = errno == ENOENT   ? Probe::State::missing
                  : errno == EACCES ? Probe::State::no_permission
                                    : Probe::State::open_failed;
        return p;
    }
    if (group *g = getgrgid(st.st_gid)) p.group = g->gr_name;
    if (passwd *u = getpwuid(st.st_uid)) p.owner = u->pw_name;
    p.mode = st.st_mode;
    if (!S_ISCHR(st.st_mode)) {
        p.state = Probe::State::not_char;
        p.kind = files::kind_of(st.st_mode);
        return p;
    }
    // As a command opens it, but without waiting for carrier detect.
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        p.err = errno;
        p.state = errno == EACCES || errno == EPERM ? Probe::State::no_permission
                                                    : Probe::State::open_failed;
        return p;
    }
    if (tcgetattr(fd, &p.settings) != 0) {
        p.err = errno;
        p.state = Probe::State::not_terminal;
        close(fd);
        return p;
    }
    p.state = Probe::State::opened;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);
    } else if (errno == EWOULDBLOCK) {
        p.locked = true;
        p.holder = lock_holder(read_file("/proc/locks"), st.st_dev, st.st_ino);
        if (p.holder != 0) {
            std::string name = read_file("/proc/" + std::to_string(p.holder) + "/comm");
            if (!name.empty() && name.back() == '\n') name.pop_back();
            p.holder_name = name.empty() ? "name unknown" : name;
        }
    }
    close(fd);
    return p;
}

} // namespace doctor
