// An application with a function of the same name as one of the library's:
// the library's own calls still reach its own function.
#include "support/api.h"
#include "support/printer.h"

#include <gtest/gtest.h>

#include <cstring>

// The application's own completastr, which has nothing to do with checks.
void completastr(char *text, char, int, int) {
    std::strcpy(text, "mine");
}

namespace {

using th::Printer;

TEST_F(Printer, ChecksUseTheLibrarysOwnHelpers) {
    char t[] = "T", date[] = "15/03/2004", amount[] = "1.234,56", bank[] = "1";
    EXPECT_EQ(1, run([&] { return tarvcheque(t, t, date, amount, t, t, bank); }));
    std::string got = pty.read(100);
    EXPECT_NE(std::string::npos, got.find("\x1b.5904000000123456}")) << got;
    char mine[8] = "x";
    completastr(mine, '0', 3, 1);
    EXPECT_STREQ("mine", mine);
}

} // namespace
