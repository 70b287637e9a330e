#include "commands.h"

#include "../link/link.h"
#include "tarvik.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

char comando[100];
char bufi[100];

void report_port_failure(int code) {
    int err = errno;
    std::fprintf(stdout, "erro abertura %s, codigo %i, errno %i %s\r\n", "porta serial", code, err,
                 std::strerror(err));
    errno = err; // the caller's errno is the one reported
}

int frame_open() {
    int fd = serial_open();
    if (fd < 0) report_port_failure(fd);
    return fd;
}

bool frame_send(int fd, std::size_t n) {
    return link_send(fd, comando, n);
}

int frame_close(int fd, bool sent) {
    return link_close(fd, sent) ? 1 : 0;
}
