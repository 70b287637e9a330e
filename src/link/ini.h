// The rules of tarvik.ini: how its lines are read and what the port entry and
// a bank entry give. Pure: no port, no saved state, no exit. The library's
// link and the programs around it read the file through these alone.
#ifndef TARVIK_INI_H
#define TARVIK_INI_H

#include <cstddef>

// A tarvik.ini line: 99 characters and the zero.
constexpr int kIniLine = 100;
// "/dev/" plus a name taken from a line, and the zero.
constexpr int kPortPath = 5 + kIniLine;
// At most 20 layout characters, and the zero.
constexpr int kLayout = 21;
// What one read from a descriptor takes.
constexpr std::size_t kIniBuffer = 4096;

// The key of the port entry.
constexpr const char *kPortKey = "Porta=";

// Reads the lines of a tarvik.ini as every scan sees them: at most the first
// 99 characters of a line are kept, the rest of a longer line is skipped, and
// the line end (LF, with a CR before it, or a CR at the end of the input) is
// not part of the line. The bytes come from a descriptor, read through the
// reader's own buffer, or from memory.
class IniReader {
  public:
    // Reads fd to its end; fd stays open.
    explicit IniReader(int fd);
    // Reads size bytes at data, which must outlive the reader.
    IniReader(const char *data, std::size_t size);
    IniReader(const IniReader &) = delete;
    IniReader &operator=(const IniReader &) = delete;

    // The next line, zero-terminated. Returns false at the end of input.
    bool next_line(char (&line)[kIniLine]);
    // Reads lines until one contains needle. Returns true with that line in
    // line, false at the end of input.
    bool find(const char *needle, char (&line)[kIniLine]);
    // How many bytes of input the lines read so far took, line ends included.
    std::size_t consumed() const {
        return base_ + pos_;
    }

  private:
    bool fill();

    int fd_;
    const char *data_;
    std::size_t base_ = 0, pos_ = 0, end_;
    char buf_[kIniBuffer];
};

// The device path of a port entry line: "/dev/" followed by the name that
// runs from position 6 to the first CR, LF, space, tab, ',' or ';'.
void port_path(const char *line, char (&path)[kPortPath]);

// The layout of a bank entry line: at most 20 characters from position 4,
// empty for a line of four characters or fewer.
void layout_of(const char *line, char (&layout)[kLayout]);

// The port entry of a tarvik.ini: the device path, or false when no line
// holds "Porta=".
bool ini_port(IniReader &in, char (&path)[kPortPath]);

// The layout of the bank with the three-character code, or the default
// "05,15,08,06,06,05,05".
void ini_layout(IniReader &in, const char *code, char (&layout)[kLayout]);

#endif
