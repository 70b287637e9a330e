// How the programs fail. A failure that ends what a program is doing is
// thrown as a Failure, its message one line for the user, and caught once,
// in main, which says it and ends with the program's status; destructors
// put back what was taken on the way. What is not a failure (a lock that
// another process holds, a file left as it is) is a function's result, and
// the wrappers of system calls (files::read_file, files::write_all) answer
// as the calls do, false with errno, for callers that take a failure as a
// finding.
#ifndef TARVIK_TOOLS_FAILURE_H
#define TARVIK_TOOLS_FAILURE_H

#include <cstring>
#include <stdexcept>
#include <string>

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The text of errno err, for a message.
inline std::string why(int err) {
    return std::strerror(err);
}

#endif
