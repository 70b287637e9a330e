// The picture of a session as positioned shapes: the front of the document,
// each check, and the back, each a sheet of its own. Made from the events
// alone; the writers (SVG here, PNG and PDF with cairo) only draw it. Lengths
// are in points, y downwards.
#ifndef TARVIK_VIRTUAL_LAYOUT_H
#define TARVIK_VIRTUAL_LAYOUT_H

#include "decoder.h"
#include "format.h"

#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace virt {

// A length, and whether SVG spells it as a whole number ("12", not "12.0"):
// some were first written so, and the SVG stays as it was, byte for byte.
struct Length {
    Length(double value) : v(value) {}
    static Length whole(int value) {
        Length l(value);
        l.bare = true;
        return l;
    }
    double v;
    bool bare = false;
};

// Colours are "#rgb" or "#rrggbb".
struct Box {
    Length x, y, width, height;
    const char *fill; // null: none
    const char *stroke;
    Length radius = 0.0;   // of its corners
    int dash = 0, gap = 0; // of a dashed stroke
};

struct Line {
    Length x1, y1, x2, y2;
    const char *stroke;
};

struct Text {
    double x, y; // where its baseline starts
    double size;
    std::string text; // UTF-8, each character visible
    double pitch = 0; // each character's width, as printed; 0: the font's own
    bool bold = false;
    const char *fill = nullptr; // null: black
};

// The width that a text at a pitch fills.
double width_of(const Text &t);

using Shape = std::variant<Box, Line, Text>;

// One sheet, and a page of a PDF: its frame in the picture's coordinates, its
// body in coordinates that start at origin.
struct Sheet {
    long long top, bottom; // its part of the picture, with a margin above and below
    std::vector<Shape> frame = {};
    long long origin = 0;
    std::vector<Shape> body = {};
};

struct Layout {
    int width;
    long long height;
    const char *background;
    std::vector<Sheet> sheets; // in the order they are drawn, top to bottom
};

// A picture laid out as the events come: it keeps what it shows, and nothing
// of the events that show nothing.
class Picture {
  public:
    explicit Picture(ToUtf8 to_utf8);
    ~Picture();
    Picture(const Picture &) = delete;
    Picture &operator=(const Picture &) = delete;

    void add(const Event &e);
    Layout layout() const;

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

Layout lay_out(const std::vector<Event> &events, const ToUtf8 &to_utf8);

} // namespace virt

#endif
