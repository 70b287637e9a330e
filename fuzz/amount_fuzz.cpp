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

    // The amount is its digits without the leading zeros, twelve at most, and
    // no '-' anywhere; else it is refused and the field left empty.
    char digits[13];
    bool taken = amount_digits(text.c_str(), digits);
    const std::string amount = text.c_str();
    std::string value;
    for (char c : amount)
        if (c >= '0' && c <= '9') value += c;
    value.erase(0, value.find_first_not_of('0'));
    const bool refused = amount.find('-') != std::string::npos || value.size() > 12;
    FUZZ_CHECK(taken == !refused);
    if (taken)
        FUZZ_CHECK(std::string(12 - value.size(), '0') + value == digits);
    else
        FUZZ_CHECK(digits[0] == '\0');

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
