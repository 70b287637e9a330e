#include "files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace files {

bool read_file(const std::string &path, std::string &data) {
    // Without waiting: a named pipe must not hold the caller up.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return false;
    }
    data.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            data.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            int err = errno;
            close(fd);
            errno = err;
            return false;
        }
    }
    close(fd);
    return true;
}

bool write_all(int fd, const char *data, std::size_t size, const std::function<bool()> &late) {
    for (std::size_t done = 0; done < size;) {
        bool given_up = late && late();
        pollfd p{fd, POLLOUT, 0};
        if (given_up && (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0)) {
            errno = EINTR;
            return false;
        }
        // A pipe takes at most PIPE_BUF bytes whole or not at all, so a
        // signal never leaves a write half done and the rest waiting.
        ssize_t n = write(fd, data + done, std::min<std::size_t>(size - done, PIPE_BUF));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN && !given_up) {
            poll(&p, 1, -1); // a descriptor that does not wait is waited on here
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

std::string kind_of(mode_t mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "not a file";
}

} // namespace files
