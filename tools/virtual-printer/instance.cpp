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

pid_t Hold::take(const std::string &dir, const std::string &name) {
    path_ = dir + "/" + name;
    for (int tries = 0; tries < 100; ++tries) {
        int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
        if (fd < 0) throw Failure("cannot make " + path_ + ": " + why(errno));
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            throw Failure(path_ + " is not a file that tarvik-virtual made");
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
            if (held && who.l_pid != 0) return who.l_pid;
            throw Failure(held ? "another tarvik-virtual runs in " + dir + ": it holds " + path_
                               : "cannot lock " + path_ + ": " + why(err));
        }
        // A holder that was ending may have removed the file after we opened
        // it: a lock on that file guards nothing, so take the new one.
        struct stat now {};
        if (lstat(path_.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
            fd_ = fd;
            return 0;
        }
        close(fd);
    }
    throw Failure("cannot lock " + path_ + ": it keeps being replaced");
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

void Hold::keep(const Change &change) {
    std::string text = change_text(change);
    kept_ = true;
    if (pwrite(fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size())) return;
    std::string error = "cannot write " + path_ + ": " + why(errno);
    clear();
    throw Failure(error);
}

void Hold::clear() {
    if (ftruncate(fd_, 0) == 0) kept_ = false;
}

IniFile read_ini(const std::string &path) {
    IniFile ini;
    ini.path = ini.target = path;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return ini;
        throw Unreadable("cannot look at " + path + ": " + why(errno));
    }
    if (S_ISLNK(st.st_mode)) {
        char *real = realpath(path.c_str(), nullptr);
        if (real == nullptr) {
            std::string error = path + " is a link that leads to no file (" + why(errno) + ")";
            if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR) throw Unreadable(error);
            throw Failure(error);
        }
        ini.target = real;
        std::free(real);
    }
    if (stat(ini.target.c_str(), &ini.st) != 0)
        throw Unreadable("cannot look at " + path + ": " + why(errno));
    if (!S_ISREG(ini.st.st_mode))
        throw Failure(path + " is " + files::kind_of(ini.st.st_mode) + ", not a regular file");
    if (!files::read_file(ini.target, ini.bytes))
        throw Unreadable("cannot read " + path + ": " + why(errno));
    ini.exists = true;
    return ini;
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

void write_ini(const IniFile &ini, const std::string &data) {
    std::string temp = temp_of(ini);
    std::size_t slash = temp.rfind('/');
    std::string dir = temp.substr(0, slash);
    unlink(temp.c_str()); // left by a run killed while it wrote
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw Failure("cannot make a new file in " + dir + " (" + why(errno) + "): " + ini.path +
                      " is replaced by a new file renamed over it, never rewritten in place");
    mode_t mask = umask(0);
    umask(mask);
    std::string error;
    if (ini.exists && fchown(fd, ini.st.st_uid, ini.st.st_gid) != 0) {
        error =
            "cannot give a new " + ini.path + " the owner and group of the old one: " + why(errno);
    } else if (ini.exists && !copy_attributes(ini.target, fd)) {
        error = "cannot give a new " + ini.path +
                " the extended attributes (such as an access control list) of the old one: " +
                why(errno);
    } else if (fchmod(fd, ini.exists ? ini.st.st_mode & 07777 : 0666 & ~mask) != 0 ||
               !files::write_all(fd, data.data(), data.size()) || fsync(fd) != 0) {
        error = "cannot write " + temp + ": " + why(errno);
    }
    if (close(fd) != 0 && error.empty()) error = "cannot write " + temp + ": " + why(errno);
    // A new file is linked in rather than renamed, so as not to replace one
    // that someone made meanwhile.
    if (error.empty() && (ini.exists ? rename(temp.c_str(), ini.target.c_str())
                                     : link(temp.c_str(), ini.target.c_str())) != 0)
        error = "cannot replace " + ini.path + ": " + why(errno);
    if (!error.empty() || !ini.exists) unlink(temp.c_str());
    if (!error.empty()) throw Failure(error);
}

void remove_ini(const IniFile &ini) {
    if (unlink(ini.target.c_str()) != 0)
        throw Failure("cannot remove " + ini.path + ": " + why(errno));
}

PutBack put_back(const std::string &path, const Change &change, std::string &what) {
    IniFile ini;
    try {
        ini = read_ini(path);
    } catch (const Unreadable &) {
        throw; // it may still hold our line: the change is kept for the next start
    } catch (const Failure &f) {
        what = f.what() + std::string("; it is left as it is");
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
        remove_ini(ini);
        what = "removed " + path + ", which it had made";
        return PutBack::done;
    case Undo::done:
        break;
    }
    write_ini(ini, after);
    what = change.how == Change::How::replaced
               ? "put back the port line of " + path + ": " + change.original
               : "took its port line out of " + path;
    return PutBack::done;
}

} // namespace virt
