// Pitch tables: the line width and width control byte for a pitch code, on
// the front and on the back of a document.
#include "commands.h"

#include <cstring>

namespace {

using protocol::kPitchCodes;

// Line widths in characters, normal and double, front and back, one row for
// each code of kPitchCodes in its order. Where a normal width is odd, the
// printer's double width is rounded either way.
struct Widths {
    int front, front_double, back, back_double;
};

const Widths kWidths[] = {
    {40, 20, 36, 18}, {80, 40, 72, 36}, {60, 30, 54, 27}, {52, 26, 47, 23},
    {48, 24, 43, 22}, {90, 45, 81, 41}, {66, 33, 60, 30}, {60, 30, 54, 27},
    {56, 28, 51, 25}, {45, 23, 41, 21}, {72, 36, 65, 33}, {43, 21, 39, 19},
};
static_assert(sizeof kWidths / sizeof kWidths[0] == sizeof kPitchCodes - 1,
              "one row for each pitch code");

// The row of a code; the first row also serves any code outside the table.
std::size_t row_of(char code) {
    const char *at = code != '\0' ? std::strchr(kPitchCodes, code) : nullptr;
    return at != nullptr ? static_cast<std::size_t>(at - kPitchCodes) : 0;
}

} // namespace

void pitch_lookup(protocol::Side side, char &pitch, char flag, int &width, char &control) {
    std::size_t row = row_of(pitch);
    const Widths &w = kWidths[row];
    bool twice = flag == protocol::kDoubleWidth;
    pitch = kPitchCodes[row];
    if (side == protocol::Side::front)
        width = twice ? w.front_double : w.front;
    else
        width = twice ? w.back_double : w.back;
    control = twice ? protocol::kControlDouble : protocol::kControlNormal;
}

void setme(char &pitch, char &flag, int &width, char &control) {
    pitch_lookup(protocol::Side::front, pitch, flag, width, control);
}

void setmev(char &pitch, char &flag, int &width, char &control) {
    pitch_lookup(protocol::Side::back, pitch, flag, width, control);
}
