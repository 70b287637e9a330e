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
        FUZZ_CHECK(std::strlen(ddmmyy) == 6);
    } else if (read.show_count) {
        FUZZ_CHECK(read.count == 0 || read.count == 4 || read.count == 7);
    } else {
        FUZZ_CHECK(read.count == 2); // the month is empty
    }
    return 0;
}
