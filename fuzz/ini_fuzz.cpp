// The tarvik.ini scans on arbitrary bytes: the first three are the bank code
// sought, the rest is the file.
#include "fuzz_check.h"
#include "link/link.h"

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    char code[4] = {static_cast<char>(data[0]), static_cast<char>(data[1]),
                    static_cast<char>(data[2]), '\0'};
    std::string file(reinterpret_cast<const char *>(data + 3), size - 3);

    std::istringstream port_in(file);
    char path[kPortPath];
    if (ini_port(port_in, path)) {
        // "/dev/" and a name of at most 93 characters with no separator in it.
        FUZZ_CHECK(std::strncmp(path, "/dev/", 5) == 0);
        FUZZ_CHECK(std::strlen(path) <= 5 + 93);
        FUZZ_CHECK(std::strcspn(path, "\r\n \t,;") == std::strlen(path));
    }

    std::istringstream layout_in(file);
    char layout[kLayout];
    ini_layout(layout_in, code, layout);
    FUZZ_CHECK(std::strlen(layout) <= 20);
    return 0;
}
