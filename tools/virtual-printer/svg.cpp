#include "svg.h"

#include <cstdio>

namespace virt {

namespace {

const int kMargin = 20;
const int kPaper = 640;  // the width that a full line fills
const int kGutter = 160; // notes at the paper's right
const int kLine = 22;    // height of one printed line
const int kCheckHeight = 270;
const char kFont[] = "font-family=\"DejaVu Sans Mono, Courier New, monospace\"";

std::string num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

std::string xml(const std::string &s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// Characters (code points) in UTF-8 text.
std::size_t length(const std::string &utf8) {
    std::size_t n = 0;
    for (unsigned char c : utf8)
        if ((c & 0xc0) != 0x80) ++n;
    return n;
}

std::string text_at(double x, double y, double size, const std::string &content,
                    const std::string &extra = "") {
    return "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" font-size=\"" + num(size) + "\" " +
           kFont + " xml:space=\"preserve\"" + extra + ">" + xml(content) + "</text>\n";
}

// One sheet of paper: its lines as they are printed, top to bottom.
class Sheet {
  public:
    explicit Sheet(const ToUtf8 &to_utf8) : to_utf8_(to_utf8) {}

    // A text line filling the paper at its pitch's line width.
    void line(const Event &e) {
        y_ += kLine;
        std::string shown = visible(to_utf8_(e.text));
        double cell = static_cast<double>(kPaper) / (e.width > 0 ? e.width : 1);
        double size = cell * 1.6 < 18 ? cell * 1.6 : 18;
        std::string fit;
        if (!shown.empty())
            fit = " textLength=\"" + num(cell * static_cast<double>(length(shown))) +
                  "\" lengthAdjust=\"spacingAndGlyphs\"";
        body_ += text_at(kMargin, y_, size, shown, fit);
        std::string note = std::string("pitch ") + e.pitch + (e.twice ? " double" : "");
        if (e.kind == Kind::authentication) {
            body_ += "<rect x=\"" + num(kMargin - 4) + "\" y=\"" + num(y_ - kLine + 5) +
                     "\" width=\"" + num(kPaper + 8) + "\" height=\"" + num(kLine) +
                     "\" fill=\"none\" stroke=\"#b03060\" stroke-dasharray=\"4 3\"/>\n";
            note = std::string("AUT ") + e.selector + ", " + note;
        }
        this->note(note, e.kind == Kind::authentication ? "#b03060" : "#888");
    }
    void feed(int lines) {
        y_ += kLine * lines;
    }
    // A remark in the right-hand margin, on the current line.
    void note(const std::string &what, const char *colour) {
        body_ += text_at(kMargin * 2 + kPaper, y_ == 0 ? kLine : y_, 10, what,
                         std::string(" fill=\"") + colour + "\"");
    }
    // A mode change, on a narrow row of its own.
    void mark(const std::string &what) {
        y_ += 12;
        body_ += text_at(kMargin, y_, 9, "- " + what + " -", " fill=\"#357\"");
    }
    // Bytes that were not a command, drawn across the paper.
    void unknown(const std::string &bytes) {
        y_ += kLine;
        std::string h = hex_bytes(bytes);
        if (h.size() > 90) h = h.substr(0, 87) + "...";
        body_ += text_at(kMargin, y_, 11, "unknown: " + h, " fill=\"#c00000\"");
    }
    bool empty() const {
        return body_.empty();
    }
    // Draws the sheet at top; gives its height.
    long long draw(std::string &out, long long top, const std::string &title) const {
        long long height = y_ + kLine;
        out += text_at(kMargin, top + 14, 14, title, " font-weight=\"bold\"");
        top += 22;
        out += "<rect x=\"" + num(kMargin - 8) + "\" y=\"" + num(top) + "\" width=\"" +
               num(kPaper + 16) + "\" height=\"" + num(height) +
               "\" fill=\"#fffef8\" stroke=\"#999\"/>\n";
        out += "<g transform=\"translate(0," + num(top) + ")\">\n" + body_ + "</g>\n";
        return 22 + height + kMargin;
    }

  private:
    const ToUtf8 &to_utf8_;
    std::string body_;
    // Line feeds add height without anything to keep: a long stream of them
    // goes past what an int holds.
    long long y_ = 0;
};

// A check with its fields in their places.
int draw_check(std::string &out, long long top, const Event &c, const ToUtf8 &to_utf8) {
    auto shown = [&](std::size_t i) { return visible(to_utf8(c.fields[i])); };
    auto field = [&](std::size_t i, double x, double y, double w) {
        out += "<line x1=\"" + num(x) + "\" y1=\"" + num(y + 4) + "\" x2=\"" + num(x + w) +
               "\" y2=\"" + num(y + 4) + "\" stroke=\"#7a9a8a\"/>\n";
        out += text_at(x - 10, y, 8, std::to_string(i + 1), " fill=\"#557\"");
        out += text_at(x, y, 12, shown(i));
    };
    int x = kMargin;
    out += "<g transform=\"translate(0," + num(top) + ")\">\n";
    out += "<rect x=\"" + num(x - 8) + "\" y=\"0\" width=\"" + num(kPaper + 16) + "\" height=\"" +
           num(kCheckHeight) + "\" rx=\"8\" fill=\"#eef6f0\" stroke=\"#5a7a6a\"/>\n";
    out += text_at(x + 4, 24, 13, "CHEQUE", " font-weight=\"bold\" fill=\"#355\"");
    out += text_at(x + 4, 40, 9, "layout " + visible(to_utf8(check_layout(c))), " fill=\"#557\"");
    // The amount in its box, with the currency's names under it.
    double box = kMargin + kPaper - 220;
    out += "<rect x=\"" + num(box) + "\" y=\"12\" width=\"210\" height=\"34\" fill=\"#fff\" " +
           "stroke=\"#5a7a6a\"/>\n";
    out += text_at(box + 8, 35, 16, visible(to_utf8(check_amount(c))), " font-weight=\"bold\"");
    out += text_at(box + 8, 60, 9, shown(6) + " / " + shown(7), " fill=\"#557\"");
    field(0, x + 14, 95, kPaper - 30);
    field(1, x + 14, 130, kPaper - 30);
    field(4, x + 14, 170, kPaper - 30);
    field(5, x + 14, 210, kPaper - 200);
    out += text_at(kMargin + kPaper - 160, 210, 12, visible(to_utf8(check_date(c))));
    out += text_at(kMargin + kPaper - 160, 222, 8, "3 data", " fill=\"#557\"");
    out += "<line x1=\"" + num(kMargin + kPaper - 250) + "\" y1=\"250\" x2=\"" +
           num(kMargin + kPaper - 20) + "\" y2=\"250\" stroke=\"#7a9a8a\"/>\n";
    out += "</g>\n";
    return kCheckHeight + kMargin;
}

} // namespace

struct Picture::Parts {
    explicit Parts(ToUtf8 f) : to_utf8(std::move(f)), front(to_utf8), back(to_utf8) {}
    ToUtf8 to_utf8;
    Sheet front, back;
    std::vector<Event> checks;
    bool on_back = false;
};

Picture::Picture(ToUtf8 to_utf8) : parts_(std::make_unique<Parts>(std::move(to_utf8))) {}

Picture::~Picture() = default;

void Picture::add(const Event &e) {
    Parts &p = *parts_;
    Sheet &sheet = p.on_back ? p.back : p.front;
    switch (e.kind) {
    case Kind::line_feed:
        sheet.feed(e.count);
        break;
    case Kind::back_side:
        p.back.mark(e.on ? "back side on" : "back side off");
        p.on_back = e.on;
        break;
    case Kind::front_text:
    case Kind::authentication:
        sheet.line(e);
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
        sheet.unknown(e.raw);
        break;
    }
}

std::string Picture::svg() const {
    const Parts &p = *parts_;
    std::string body;
    long long y = kMargin;
    y += p.front.draw(body, y, "Front");
    for (const Event &c : p.checks)
        y += draw_check(body, y, c, p.to_utf8);
    if (!p.back.empty()) y += p.back.draw(body, y, "Back");
    int width = kMargin * 3 + kPaper + kGutter;
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
           std::to_string(width) + "\" height=\"" + std::to_string(y) + "\" viewBox=\"0 0 " +
           std::to_string(width) + " " + std::to_string(y) + "\">\n<rect width=\"100%\" " +
           "height=\"100%\" fill=\"#f4f4f4\"/>\n" + body + "</svg>\n";
}

std::string render_svg(const std::vector<Event> &events, const ToUtf8 &to_utf8) {
    Picture picture(to_utf8);
    for (const Event &e : events)
        picture.add(e);
    return picture.svg();
}

} // namespace virt
