#include "svg.h"

#include <cstdio>

namespace virt {

namespace {

const char kFont[] = "font-family=\"DejaVu Sans Mono, Courier New, monospace\"";

std::string num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

std::string num(const Length &l) {
    return l.bare ? std::to_string(static_cast<long long>(l.v)) : num(l.v);
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

struct Writer {
    std::string &out;

    void operator()(const Box &b) const {
        out += "<rect x=\"" + num(b.x) + "\" y=\"" + num(b.y) + "\" width=\"" + num(b.width) +
               "\" height=\"" + num(b.height) + "\"";
        if (b.radius.v > 0) out += " rx=\"" + num(b.radius) + "\"";
        out += std::string(" fill=\"") + (b.fill != nullptr ? b.fill : "none") + "\" stroke=\"" +
               b.stroke + "\"";
        if (b.dash > 0)
            out += " stroke-dasharray=\"" + std::to_string(b.dash) + " " + std::to_string(b.gap) +
                   "\"";
        out += "/>\n";
    }
    void operator()(const Line &l) const {
        out += "<line x1=\"" + num(l.x1) + "\" y1=\"" + num(l.y1) + "\" x2=\"" + num(l.x2) +
               "\" y2=\"" + num(l.y2) + "\" stroke=\"" + l.stroke + "\"/>\n";
    }
    void operator()(const Text &t) const {
        out += "<text x=\"" + num(t.x) + "\" y=\"" + num(t.y) + "\" font-size=\"" + num(t.size) +
               "\" " + kFont + " xml:space=\"preserve\"";
        if (t.pitch > 0 && !t.text.empty())
            out += " textLength=\"" + num(width_of(t)) + "\" lengthAdjust=\"spacingAndGlyphs\"";
        if (t.bold) out += " font-weight=\"bold\"";
        if (t.fill != nullptr) out += std::string(" fill=\"") + t.fill + "\"";
        out += ">" + xml(t.text) + "</text>\n";
    }
};

} // namespace

std::string svg(const Layout &layout) {
    std::string width = std::to_string(layout.width), height = std::to_string(layout.height);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height +
                      "\">\n<rect width=\"100%\" height=\"100%\" fill=\"" + layout.background +
                      "\"/>\n";
    Writer write{out};
    for (const Sheet &s : layout.sheets) {
        for (const Shape &shape : s.frame)
            std::visit(write, shape);
        out += "<g transform=\"translate(0," + num(static_cast<double>(s.origin)) + ")\">\n";
        for (const Shape &shape : s.body)
            std::visit(write, shape);
        out += "</g>\n";
    }
    return out + "</svg>\n";
}

std::string render_svg(const std::vector<Event> &events, const ToUtf8 &to_utf8) {
    return svg(lay_out(events, to_utf8));
}

} // namespace virt
