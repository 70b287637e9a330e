// The tarvik.ini rules on arbitrary bytes: the first three are the bank code
// sought, the rest is the file.
#include "fuzz_check.h"
#include "link/ini.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    char code[4] = {static_cast<char>(data[0]), static_cast<char>(data[1]),
                    static_cast<char>(data[2]), '\0'};
    const char *file = reinterpret_cast<const char *>(data + 3);
    const std::size_t n = size - 3;

    // Each line is the bytes up to its LF, or to the end, cut to 99; a CR
    // that ends a line of at most 99 is not part of it. consumed() stands
    // just past the line, and the lines take every byte.
    IniReader in(file, n);
    char line[kIniLine];
    std::size_t start = 0;
    while (in.next_line(line)) {
        std::size_t end = in.consumed();
        FUZZ_CHECK(start < end && end <= n);
        const char *lf = static_cast<const char *>(std::memchr(file + start, '\n', end - start));
        FUZZ_CHECK(lf != nullptr ? lf == file + end - 1 : end == n);
        std::size_t raw = (lf != nullptr ? end - 1 : end) - start;
        std::size_t kept = std::min<std::size_t>(raw, kIniLine - 1);
        if (raw < kIniLine && raw > 0 && file[start + raw - 1] == '\r') --kept;
        FUZZ_CHECK(std::memcmp(line, file + start, kept) == 0 && line[kept] == '\0');
        start = end;
    }
    FUZZ_CHECK(start == n);

    IniReader port_in(file, n);
    char path[kPortPath];
    if (ini_port(port_in, path)) {
        // "/dev/" and a name of at most 93 characters with no separator in it.
        FUZZ_CHECK(std::strncmp(path, "/dev/", 5) == 0);
        FUZZ_CHECK(std::strlen(path) <= 5 + 93);
        FUZZ_CHECK(std::strcspn(path, "\r\n \t,;") == std::strlen(path));
    }

    IniReader layout_in(file, n);
    char layout[kLayout];
    ini_layout(layout_in, code, layout);
    FUZZ_CHECK(std::strlen(layout) <= 20);
    return 0;
}
