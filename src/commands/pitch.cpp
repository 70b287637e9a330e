// Pitch tables: the line width and width control byte for a pitch code, on
// the front and on the back of a document.
#include "commands.h"
#include "tarvik.h"

namespace {

struct Pitch {
    char code;
    // Line widths in characters: normal and double, front and back. Where a
    // normal width is odd, the printer's double width is rounded either way.
    int front, front_double, back, back_double;
};

// The first row also serves any code outside the table.
const Pitch kPitches[] = {
    {'0', 40, 20, 36, 18}, {'1', 80, 40, 72, 36}, {'2', 60, 30, 54, 27}, {'3', 52, 26, 47, 23},
    {'4', 48, 24, 43, 22}, {'5', 90, 45, 81, 41}, {'6', 66, 33, 60, 30}, {'7', 60, 30, 54, 27},
    {'8', 56, 28, 51, 25}, {'9', 45, 23, 41, 21}, {'*', 72, 36, 65, 33}, {'+', 43, 21, 39, 19},
};

const char kDoubleWidth = 'S';
const char kControlDouble = 0x0E;
const char kControlNormal = 0x14;

const Pitch &find(char code) {
    for (const Pitch &p : kPitches)
        if (p.code == code) return p;
    return kPitches[0];
}

} // namespace

void pitch_lookup(Side side, char &pitch, char flag, int &width, char &control) {
    const Pitch &p = find(pitch);
    bool twice = flag == kDoubleWidth;
    pitch = p.code;
    if (side == Side::front)
        width = twice ? p.front_double : p.front;
    else
        width = twice ? p.back_double : p.back;
    control = twice ? kControlDouble : kControlNormal;
}

void setme(char &pitch, char &flag, int &width, char &control) {
    pitch_lookup(Side::front, pitch, flag, width, control);
}

void setmev(char &pitch, char &flag, int &width, char &control) {
    pitch_lookup(Side::back, pitch, flag, width, control);
}
