#include "instance.h"

#include "files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace virt {

namespace {

std::string why(int err) {
    return std::strerror(err);
}

bool write_all(int fd, const std::string &data) {
    for (std::size_t done = 0; done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Gives fd the extended attributes of the file at path, its access control
// list among them, so that whoever could read the old file can read the new.
bool copy_attributes(const std::string &path, int fd) {
    ssize_t size = listxattr(path.c_str(), nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    std::string names(static_cast<std::size_t>(size), '\0');
    size = listxattr(path.c_str(), &names[0], names.size());
    if (size < 0) return false;
    names.resize(static_cast<std::size_t>(size));
    for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
        const char *name = names.c_str() + at;
        ssize_t n = getxattr(path.c_str(), name, nullptr, 0);
        std::string value(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
        if (n >= 0 && getxattr(path.c_str(), name, &value[0], value.size()) == n &&
            fsetxattr(fd, name, value.data(), value.size(), 0) == 0)
            continue;
        // The system labels a new file for its own security itself.
        if (std::strncmp(name, "security.", 9) != 0) return false;
    }
    return true;
}

} // namespace

Hold::~Hold() {
    if (fd_ < 0) return;
    // Removed while the lock is still held, so that no one locks it between.
    if (!kept_) unlink(path_.c_str());
    close(fd_);
}

bool Hold::take(const std::string &dir, std::string &error, pid_t &holder,
                const std::string &name) {
    holder = 0;
    path_ = dir + "/" + name;
    for (int tries = 0; tries < 100; ++tries) {
        int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
        if (fd < 0) {
            error = "cannot make " + path_ + ": " + why(errno);
            return false;
        }
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            error = path_ + " is not a file that tarvik-virtual made";
            return false;
        }
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fcntl(fd, F_SETLK, &lock) != 0) {
            int err = errno;
            struct flock who = lock;
            bool held = (err == EAGAIN || err == EACCES) && fcntl(fd, F_GETLK, &who) == 0;
            close(fd);
            if (held && who.l_type == F_UNLCK) continue; // let go meanwhile
            holder = held ? who.l_pid : 0;
            error = held ? "another tarvik-virtual runs in " + dir + ": it holds " + path_
                         : "cannot lock " + path_ + ": " + why(err);
            return false;
        }
        // A holder that was ending may have removed the file after we opened
        // it: a lock on that file guards nothing, so take the new one.
        struct stat now {};
        if (lstat(path_.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
            fd_ = fd;
            return true;
        }
        close(fd);
    }
    error = "cannot lock " + path_ + ": it keeps being replaced";
    return false;
}

bool Hold::left_over(Change &change) {
    std::string text;
    char buf[4096];
    ssize_t n;
    for (off_t at = 0; (n = pread(fd_, buf, sizeof buf, at)) > 0; at += n)
        text.append(buf, static_cast<std::size_t>(n));
    // A record cut short was being written when its run was killed, before
    // tarvik.ini was changed.
    kept_ = parse_change(text, change);
    if (!kept_ && !text.empty()) clear();
    return kept_;
}

bool Hold::keep(const Change &change, std::string &error) {
    std::string text = change_text(change);
    kept_ = true;
    if (pwrite(fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) return true;
    error = "cannot write " + path_ + ": " + why(errno);
    clear();
    return false;
}

void Hold::clear() {
    if (ftruncate(fd_, 0) == 0) kept_ = false;
}

bool read_ini(const std::string &path, IniFile &ini, std::string &error) {
    ini = IniFile{};
    ini.path = ini.target = path;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return true;
        error = "cannot look at " + path + ": " + why(errno);
        ini.unreadable = true;
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        char *real = realpath(path.c_str(), nullptr);
        if (real == nullptr) {
            ini.unreadable = errno != ENOENT && errno != ELOOP && errno != ENOTDIR;
            error = path + " is a link that leads to no file (" + why(errno) + ")";
            return false;
        }
        ini.target = real;
        std::free(real);
    }
    if (stat(ini.target.c_str(), &ini.st) != 0) {
        error = "cannot look at " + path + ": " + why(errno);
        ini.unreadable = true;
        return false;
    }
    if (!S_ISREG(ini.st.st_mode)) {
        error = path + " is " + files::kind_of(ini.st.st_mode) + ", not a regular file";
        return false;
    }
    if (!files::read_file(ini.target, ini.bytes)) {
        error = "cannot read " + path + ": " + why(errno);
        ini.unreadable = true;
        return false;
    }
    ini.exists = true;
    return true;
}

bool guard_of(const IniFile &ini, std::string &dir, std::string &name) {
    if (ini.target == ini.path) return false;
    // The target is a whole path, which realpath gave.
    std::size_t slash = ini.target.rfind('/');
    dir = ini.target.substr(0, slash);
    name = ini.target.substr(slash + 1);
    name = name == "tarvik.ini" ? ".tarvik-virtual.lock" : "." + name + ".tarvik-virtual.lock";
    return true;
}

std::string temp_of(const IniFile &ini) {
    std::size_t slash = ini.target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : ini.target.substr(0, slash);
    return dir + "/." + ini.target.substr(slash + 1) + ".tarvik-virtual";
}

bool write_ini(const IniFile &ini, const std::string &data, std::string &error) {
    std::string temp = temp_of(ini);
    std::size_t slash = temp.rfind('/');
    std::string dir = temp.substr(0, slash);
    unlink(temp.c_str()); // left by a run killed while it wrote
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot make a new file in " + dir + " (" + why(errno) + "): " + ini.path +
                " is replaced by a new file renamed over it, never rewritten in place";
        return false;
    }
    mode_t mask = umask(0);
    umask(mask);
    bool ok = true;
    if (ini.exists && fchown(fd, ini.st.st_uid, ini.st.st_gid) != 0) {
        error =
            "cannot give a new " + ini.path + " the owner and group of the old one: " + why(errno);
        ok = false;
    } else if (ini.exists && !copy_attributes(ini.target, fd)) {
        error = "cannot give a new " + ini.path +
                " the extended attributes (such as an access control list) of the old one: " +
                why(errno);
        ok = false;
    } else if (fchmod(fd, ini.exists ? ini.st.st_mode & 07777 : 0666 & ~mask) != 0 ||
               !write_all(fd, data) || fsync(fd) != 0) {
        error = "cannot write " + temp + ": " + why(errno);
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        error = "cannot write " + temp + ": " + why(errno);
        ok = false;
    }
    // A new file is linked in rather than renamed, so as not to replace one
    // that someone made meanwhile.
    if (ok && (ini.exists ? rename(temp.c_str(), ini.target.c_str())
                          : link(temp.c_str(), ini.target.c_str())) != 0) {
        error = "cannot replace " + ini.path + ": " + why(errno);
        ok = false;
    }
    if (!ok || !ini.exists) unlink(temp.c_str());
    return ok;
}

bool remove_ini(const IniFile &ini, std::string &error) {
    if (unlink(ini.target.c_str()) == 0) return true;
    error = "cannot remove " + ini.path + ": " + why(errno);
    return false;
}

PutBack put_back(const std::string &path, const Change &change, std::string &what) {
    IniFile ini;
    if (!read_ini(path, ini, what)) {
        // A file that cannot be read may still hold our line: the change is
        // kept for the next start.
        if (ini.unreadable) return PutBack::failed;
        what += "; it is left as it is";
        return PutBack::left;
    }
    if (!ini.exists) {
        what = path + " is gone; it is left so";
        return PutBack::left;
    }
    std::string after;
    switch (undo(ini.bytes, change, after)) {
    case Undo::not_found:
        what = path + " does not hold " + change.ours + " now; it is left as it is";
        return PutBack::left;
    case Undo::remove_file:
        what = "removed " + path + ", which it had made";
        return remove_ini(ini, what) ? PutBack::done : PutBack::failed;
    case Undo::done:
        break;
    }
    what = change.how == Change::How::replaced
               ? "put back the port line of " + path + ": " + change.original
               : "took its port line out of " + path;
    return write_ini(ini, after, what) ? PutBack::done : PutBack::failed;
}

} // namespace virt
