// How tarvik-virtual changes tarvik.ini and how it undoes the change: pure
// functions over the file's bytes, so that an end and the repair after a
// killed run follow the same rules.
#ifndef TARVIK_VIRTUAL_INI_EDIT_H
#define TARVIK_VIRTUAL_INI_EDIT_H

#include <string>

namespace virt {

// What undoing the change needs. It is kept beside tarvik.ini while the
// printer runs.
struct Change {
    enum class How {
        replaced, // the port entry's line was replaced by ours
        added,    // the file had no port entry: ours was put on top
        created,  // there was no file: ours is all it held
    };
    How how = How::added;
    std::string ours;     // our port line, "Porta=pts/3", without its line end
    std::string original; // the line we replaced, without its line end
    long pid = 0;         // the process that made the change
};

// ini with its port entry naming port: the line that the library takes as
// the port entry is replaced, keeping its line end, or one is put on top.
// existed tells whether the file was there. Gives what undoing it needs.
std::string with_port(const std::string &ini, bool existed, const std::string &port, long pid,
                      Change &change);

// Undoes change in ini as it is now: only our port line changes. Every other
// line stays as it is now.
enum class Undo {
    done,        // after holds the file to write
    remove_file, // we made the file, and nothing else was added to it
    not_found,   // the file no longer holds our port line
};
Undo undo(const std::string &ini, const Change &change, std::string &after);

// The change as the text kept beside tarvik.ini, and back. parse_change is
// false for a text that is not a whole record, as one cut short by a kill.
std::string change_text(const Change &change);
bool parse_change(const std::string &text, Change &change);

} // namespace virt

#endif
