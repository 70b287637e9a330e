// The running printer's hold on its directory, and its writes of tarvik.ini.
// A lock on a file of its own in the directory shows that it runs; the same
// file (where tarvik.ini is a link, the lock beside the file it names) keeps
// the change to tarvik.ini until it is undone, so that the next start can
// undo it after a kill. A lock cannot outlive its holder, as a
// process id can.
#ifndef TARVIK_VIRTUAL_INSTANCE_H
#define TARVIK_VIRTUAL_INSTANCE_H

#include "failure.h"
#include "ini_edit.h"

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace virt {

class Hold {
  public:
    Hold() = default;
    // Lets go. The lock file goes too, unless it still keeps a change.
    ~Hold();
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

    // Takes the lock on the file name in dir, the directory's own lock by
    // default. Gives 0, or the process that holds it. Throws a Failure when
    // it cannot be taken otherwise, or its holder cannot be named.
    pid_t take(const std::string &dir, const std::string &name = ".tarvik-virtual.lock");
    // The change that a run killed before undoing it left, if any.
    bool left_over(Change &change);
    // Keeps the change in the file; throws a Failure when it cannot.
    void keep(const Change &change);
    void clear();
    const std::string &path() const {
        return path_;
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

// tarvik.ini as found, links followed to the file they name.
struct IniFile {
    std::string path;   // as given
    std::string target; // the file that a change replaces
    bool exists = false;
    struct stat st {}; // the target's, when it exists
    std::string bytes;
};

// tarvik.ini that is there but cannot be looked at or read: it may still hold
// a port line of ours.
struct Unreadable : Failure {
    using Failure::Failure;
};

// Reads tarvik.ini. Throws a Failure for anything but a regular file, a link
// to one, or no file at all; an Unreadable one when it cannot read it.
IniFile read_ini(const std::string &path);

// The lock beside the file that a linked tarvik.ini names, which printers
// started in other directories whose tarvik.ini names that file take too:
// false when tarvik.ini is no link. A file named tarvik.ini has its own
// directory's lock.
bool guard_of(const IniFile &ini, std::string &dir, std::string &name);

// Replaces the file with data: a new file beside the target, with its mode,
// owner, group and extended attributes, renamed over it, so that a reader
// sees the old bytes or the new ones. Where there was no file, makes one, but
// never over a file made meanwhile. Throws a Failure when it cannot.
void write_ini(const IniFile &ini, const std::string &data);
// Removes the target; throws a Failure when it cannot.
void remove_ini(const IniFile &ini);
// The new file that write_ini writes before it renames it.
std::string temp_of(const IniFile &ini);

// Undoes change in the file at path as it is now; what tells the outcome in
// words. Throws a Failure when the file could not be read or written.
enum class PutBack {
    done,
    left, // the file is gone, or no longer holds our line: it stays as it is
};
PutBack put_back(const std::string &path, const Change &change, std::string &what);

} // namespace virt

#endif
