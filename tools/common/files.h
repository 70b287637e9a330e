// Reading whole files, for both programs.
#ifndef TARVIK_TOOLS_FILES_H
#define TARVIK_TOOLS_FILES_H

#include <string>
#include <sys/types.h>

namespace files {

// Reads the whole regular file at path into data. Returns false with errno
// set when it cannot be opened or read; anything but a regular file fails
// with EINVAL, without waiting on it.
bool read_file(const std::string &path, std::string &data);

// What a file of this mode is, in words: "a named pipe", "a directory" ...
std::string kind_of(mode_t mode);

} // namespace files

#endif
