// Reading and writing whole files, for both programs.
#ifndef TARVIK_TOOLS_FILES_H
#define TARVIK_TOOLS_FILES_H

#include <cstddef>
#include <functional>
#include <string>
#include <sys/types.h>

namespace files {

// Reads the whole regular file at path into data. Returns false with errno
// set when it cannot be opened or read; anything but a regular file fails
// with EINVAL, without waiting on it.
bool read_file(const std::string &path, std::string &data);

// Writes all of data to fd: a write that a signal or the device cuts short
// is resumed, and a descriptor that does not wait is waited on. Once late(),
// when given, says so, what cannot go at once is not written, and the write
// fails with EINTR: so a reader that has stopped reading cannot hold the
// writer. False with errno set.
bool write_all(int fd, const char *data, std::size_t size,
               const std::function<bool()> &late = nullptr);

// What a file of this mode is, in words: "a named pipe", "a directory" ...
std::string kind_of(mode_t mode);

} // namespace files

#endif
