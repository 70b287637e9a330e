#include "layout.h"

namespace virt {

namespace {

const int kMargin = 20;
const int kPaper = 640;  // the width that a full line fills
const int kGutter = 160; // notes at the paper's right
const int kLine = 22;    // height of one printed line
const int kTitle = 22;   // height of a sheet's title, above its paper
const int kCheckHeight = 270;

// Characters (code points) in UTF-8 text.
std::size_t length(const std::string &utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8)
        if ((c & 0xc0) != 0x80) ++n;
    return n;
}

Text text_at(double x, double y, double size, std::string content, const char *fill = nullptr,
             bool bold = false) {
    Text t{x, y, size, std::move(content)};
    t.fill = fill;
    t.bold = bold;
    return t;
}

// One side's paper: its lines as they are printed, top to bottom.
class Paper {
  public:
    explicit Paper(const ToUtf8 &to_utf8) : to_utf8_(to_utf8) {}

    // A text line filling the paper at its pitch's line width.
    void line(const Event &e) {
        y_ += kLine;
        double cell = static_cast<double>(kPaper) / (e.width > 0 ? e.width : 1);
        Text t = text_at(kMargin, y_, cell * 1.6 < 18 ? cell * 1.6 : 18, visible(to_utf8_(e.text)));
        t.pitch = cell;
        body_.push_back(std::move(t));
        std::string note = std::string("pitch ") + e.pitch + (e.twice ? " double" : "");
        if (e.kind == Kind::authentication) {
            Box mark{kMargin - 4, y_ - kLine + 5, kPaper + 8, kLine, nullptr, "#b03060"};
            mark.dash = 4;
            mark.gap = 3;
            body_.push_back(mark);
            note = std::string("AUT ") + e.selector + ", " + note;
        }
        this->note(note, e.kind == Kind::authentication ? "#b03060" : "#888");
    }
    void feed(int lines) {
        y_ += kLine * lines;
    }
    // A remark in the right-hand margin, on the current line.
    void note(const std::string &what, const char *colour) {
        body_.push_back(text_at(kMargin * 2 + kPaper, y_ == 0 ? kLine : y_, 10, what, colour));
    }
    // A mode change, on a narrow row of its own.
    void mark(const std::string &what) {
        y_ += 12;
        body_.push_back(text_at(kMargin, y_, 9, "- " + what + " -", "#357"));
    }
    // Bytes that were not a command, across the paper.
    void unknown(const std::string &bytes) {
        y_ += kLine;
        std::string h = hex_bytes(bytes);
        if (h.size() > 90) h = h.substr(0, 87) + "...";
        body_.push_back(text_at(kMargin, y_, 11, "unknown: " + h, "#c00000"));
    }
    bool empty() const {
        return body_.empty();
    }
    // The sheet with its title at top; top moves below it.
    Sheet place(long long &top, const std::string &title) const {
        long long height = y_ + kLine;
        Sheet s{top - kMargin, top + kTitle + height + kMargin};
        s.frame.push_back(text_at(kMargin, top + 14, 14, title, nullptr, true));
        s.origin = top + kTitle;
        s.frame.push_back(Box{kMargin - 8, static_cast<double>(s.origin), kPaper + 16,
                              static_cast<double>(height), "#fffef8", "#999"});
        s.body = body_;
        top = s.bottom;
        return s;
    }

  private:
    const ToUtf8 &to_utf8_;
    std::vector<Shape> body_;
    // Line feeds add height without anything to keep: a long stream of them
    // goes past what an int holds.
    long long y_ = 0;
};

// A check with its fields in their places; top moves below it.
Sheet check_sheet(long long &top, const Event &c, const ToUtf8 &to_utf8) {
    Sheet s{top - kMargin, top + kCheckHeight + kMargin};
    s.origin = top;
    top = s.bottom;
    std::vector<Shape> &out = s.body;
    auto shown = [&](std::size_t i) { return visible(to_utf8(c.fields[i])); };
    auto field = [&](std::size_t i, double x, double y, double w) {
        out.push_back(Line{x, y + 4, x + w, y + 4, "#7a9a8a"});
        out.push_back(text_at(x - 10, y, 8, std::to_string(i + 1), "#557"));
        out.push_back(text_at(x, y, 12, shown(i)));
    };
    int x = kMargin;
    Box card{x - 8, Length::whole(0), kPaper + 16, kCheckHeight, "#eef6f0", "#5a7a6a"};
    card.radius = Length::whole(8);
    out.push_back(card);
    out.push_back(text_at(x + 4, 24, 13, "CHEQUE", "#355", true));
    out.push_back(text_at(x + 4, 40, 9, "layout " + visible(to_utf8(check_layout(c))), "#557"));
    // The amount in its box, with the currency's names under it.
    double box = kMargin + kPaper - 220;
    out.push_back(
        Box{box, Length::whole(12), Length::whole(210), Length::whole(34), "#fff", "#5a7a6a"});
    out.push_back(text_at(box + 8, 35, 16, visible(to_utf8(check_amount(c))), nullptr, true));
    out.push_back(text_at(box + 8, 60, 9, shown(6) + " / " + shown(7), "#557"));
    field(0, x + 14, 95, kPaper - 30);
    field(1, x + 14, 130, kPaper - 30);
    field(4, x + 14, 170, kPaper - 30);
    field(5, x + 14, 210, kPaper - 200);
    out.push_back(text_at(kMargin + kPaper - 160, 210, 12, visible(to_utf8(check_date(c)))));
    out.push_back(text_at(kMargin + kPaper - 160, 222, 8, "3 data", "#557"));
    out.push_back(Line{kMargin + kPaper - 250, Length::whole(250), kMargin + kPaper - 20,
                       Length::whole(250), "#7a9a8a"});
    return s;
}

} // namespace

double width_of(const Text &t) {
    return t.pitch * static_cast<double>(length(t.text));
}

struct Picture::Parts {
    explicit Parts(ToUtf8 f) : to_utf8(std::move(f)), front(to_utf8), back(to_utf8) {}
    ToUtf8 to_utf8;
    Paper front, back;
    std::vector<Event> checks;
    bool on_back = false;
};

Picture::Picture(ToUtf8 to_utf8) : parts_(std::make_unique<Parts>(std::move(to_utf8))) {}

Picture::~Picture() = default;

void Picture::add(const Event &e) {
    Parts &p = *parts_;
    Paper &paper = p.on_back ? p.back : p.front;
    switch (e.kind) {
    case Kind::line_feed:
        paper.feed(e.count);
        break;
    case Kind::back_side:
        p.back.mark(e.on ? "back side on" : "back side off");
        p.on_back = e.on;
        break;
    case Kind::front_text:
    case Kind::authentication:
        paper.line(e);
        break;
    case Kind::back_text:
        p.back.line(e);
        break;
    case Kind::check:
        p.checks.push_back(e);
        break;
    case Kind::check_field:
        break;
    case Kind::unknown:
        paper.unknown(e.raw);
        break;
    }
}

Layout Picture::layout() const {
    const Parts &p = *parts_;
    Layout out{kMargin * 3 + kPaper + kGutter, 0, "#f4f4f4", {}};
    long long top = kMargin;
    out.sheets.push_back(p.front.place(top, "Front"));
    for (const Event &c : p.checks)
        out.sheets.push_back(check_sheet(top, c, p.to_utf8));
    if (!p.back.empty()) out.sheets.push_back(p.back.place(top, "Back"));
    out.height = top;
    return out;
}

Layout lay_out(const std::vector<Event> &events, const ToUtf8 &to_utf8) {
    Picture picture(to_utf8);
    for (const Event &e : events)
        picture.add(e);
    return picture.layout();
}

} // namespace virt
