// Date normalisation on arbitrary text.
#include "check/check.h"
#include "fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string date(reinterpret_cast<const char *>(data), size);
    char ddmmyy[7];
    DateRead read = normalize_date(date.c_str(), ddmmyy);
    if (read.valid) {
        // Six digits naming a day: DD 01-31, MM 01-12.
        FUZZ_CHECK(std::strlen(ddmmyy) == 6);
        FUZZ_CHECK(std::strspn(ddmmyy, "0123456789") == 6);
        int day = (ddmmyy[0] - '0') * 10 + ddmmyy[1] - '0';
        int month = (ddmmyy[2] - '0') * 10 + ddmmyy[3] - '0';
        FUZZ_CHECK(day >= 1 && day <= 31 && month >= 1 && month <= 12);
    } else if (read.show_count) {
        FUZZ_CHECK(read.count == 0 || read.count == 4 || read.count == 7);
    } else {
        // The month is empty, or what was read is no day of the calendar.
        FUZZ_CHECK(read.count == 2 || read.count == 5 || read.count == 6 || read.count == 8);
        FUZZ_CHECK(ddmmyy[0] == '\0');
    }
    return 0;
}
