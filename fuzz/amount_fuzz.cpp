// Amount digits and completastr on arbitrary text, widths and fills.
#include "check/check.h"
#include "fuzz_check.h"
#include "tarvik.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    int width = data[0] % 48;
    char fill = static_cast<char>(data[1]);
    int right = data[2] & 1;
    std::string text(reinterpret_cast<const char *>(data + 3), size - 3);

    char digits[13];
    amount_digits(text.c_str(), digits);
    FUZZ_CHECK(std::strlen(digits) == 12);
    for (char c : std::string(digits))
        FUZZ_CHECK(c >= '0' && c <= '9');

    // Exactly the room the caller must give: the text or the width, plus one.
    std::size_t len = std::strlen(text.c_str());
    std::vector<char> buf(std::max<std::size_t>(len, width) + 1);
    std::memcpy(buf.data(), text.c_str(), len + 1);
    completastr(buf.data(), fill, width, right);
    FUZZ_CHECK(buf[width] == '\0');
    if (fill != '\0') FUZZ_CHECK(std::strlen(buf.data()) == static_cast<std::size_t>(width));

    completastr(buf.data(), fill, -1 - width, right); // negative: unchanged
    FUZZ_CHECK(buf[width] == '\0');
    return 0;
}
