// Where tarvik-print looks at tarvik.ini and the device: never waiting,
// never changing them.
#ifndef TARVIK_PRINT_PROBE_H
#define TARVIK_PRINT_PROBE_H

#include "doctor.h"

#include <optional>
#include <sys/stat.h>

namespace doctor {

// ./tarvik.ini as the doctor and status read it: a regular file only, so
// that a named pipe or a device cannot make them wait or read for ever.
Ini read_ini();

// Opens path read and write, without a controlling terminal and without
// waiting, reads its settings and modem lines, and finds another program's
// lock on it.
Probe probe_device(const std::string &path);

// The modem lines of an open terminal.
Modem modem_lines(int fd);

// The holder of a lock on the file that st describes, as /proc/locks shows
// it (pid 0: none); nothing when /proc/locks cannot be read.
std::optional<Holder> holder_of(const struct stat &st);

} // namespace doctor

#endif
