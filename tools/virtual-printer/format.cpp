#include "format.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace virt {

namespace {

using Json = nlohmann::ordered_json;

// The code point of the UTF-8 sequence at i, and its length. False when no
// whole sequence in its shortest form starts there. Sequences of five and
// six bytes are taken too: iconv gives them for code points beyond U+10FFFF.
bool decode(const std::string &s, std::size_t i, std::size_t &len, unsigned long &code) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    static const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
    len = c < 0x80   ? 1
          : c < 0xc0 ? 0
          : c < 0xe0 ? 2
          : c < 0xf0 ? 3
          : c < 0xf8 ? 4
          : c < 0xfc ? 5
          : c < 0xfe ? 6
                     : 0;
    if (len == 0 || i + len > s.size()) return false;
    code = len == 1 ? c : c & (0x7f >> len);
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char next = static_cast<unsigned char>(s[i + k]);
        if ((next & 0xc0) != 0x80) return false;
        code = code << 6 | (next & 0x3f);
    }
    return code >= least[len];
}

// A character shown as it is: printable, and one that XML can hold.
bool shown_as_is(unsigned long code) {
    return code >= 0x20 && (code < 0x7f || code >= 0xa0) && (code < 0xd800 || code > 0xdfff) &&
           code != 0xfffe && code != 0xffff && code <= 0x10ffff;
}

std::string escape(unsigned long code) {
    char b[16];
    std::snprintf(b, sizeof b,
                  code < 0x100     ? "\\x%02lX"
                  : code < 0x10000 ? "\\u%04lX"
                                   : "\\U%08lX",
                  code);
    return b;
}

// Whether --hex adds an event's bytes to its line: an unknown event shows
// nothing else already, and a check's summary carries no bytes of its own.
bool with_bytes(const Event &e, bool hex) {
    return hex && e.kind != Kind::unknown && e.kind != Kind::check;
}

Json json_of(const Event &e, const ToUtf8 &to_utf8, bool hex) {
    Json j;
    switch (e.kind) {
    case Kind::line_feed:
        j = {{"type", "line_feed"}, {"count", e.count}};
        break;
    case Kind::back_side:
        j = {{"type", "back_side"}, {"on", e.on}};
        break;
    case Kind::front_text:
    case Kind::authentication:
    case Kind::back_text:
        j = {{"type", e.kind == Kind::front_text       ? "front_text"
                      : e.kind == Kind::authentication ? "authentication"
                                                       : "back_text"}};
        if (e.kind == Kind::authentication) j["selector"] = std::string(1, e.selector);
        j["pitch"] = std::string(1, e.pitch);
        j["double"] = e.twice;
        j["width"] = e.width;
        j["text"] = to_utf8(e.text);
        break;
    case Kind::check_field:
        j = {
            {"type", "check_field"}, {"field", std::string(1, e.field)}, {"text", to_utf8(e.text)}};
        break;
    case Kind::check: {
        Json fields = Json::array();
        for (const std::string &f : e.fields)
            fields.push_back(to_utf8(f));
        j = {{"type", "check"},
             {"fields", fields},
             {"date", to_utf8(check_date(e))},
             {"amount", to_utf8(e.fields[3])},
             {"layout", to_utf8(check_layout(e))}};
        break;
    }
    case Kind::unknown:
        j = {{"type", "unknown"}, {"hex", hex_bytes(e.raw)}};
        break;
    }
    if (with_bytes(e, hex)) j["hex"] = hex_bytes(e.raw);
    return j;
}

// Texts may hold any byte: what is not UTF-8 becomes U+FFFD, so that every
// line is valid JSON.
std::string dump(const Json &j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

std::string visible(const std::string &utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t len = 1;
        unsigned long code = 0;
        if (!decode(utf8, i, len, code)) {
            out += escape(static_cast<unsigned char>(utf8[i])); // a byte that is no character
            len = 1;
        } else if (shown_as_is(code)) {
            out.append(utf8, i, len);
        } else {
            out += escape(code);
        }
        i += len;
    }
    return out;
}

std::string text_line(const Event &e, const ToUtf8 &to_utf8, bool hex) {
    auto shown = [&](const std::string &t) { return visible(to_utf8(t)); };
    auto line_of = [&](const std::string &what) {
        return what + " pitch " + e.pitch + (e.twice ? " double" : "") + " width " +
               std::to_string(e.width) + ": \"" + shown(e.text) + "\"";
    };
    std::string s;
    switch (e.kind) {
    case Kind::line_feed:
        s = "line feed " + std::to_string(e.count);
        break;
    case Kind::back_side:
        s = e.on ? "back side on" : "back side off";
        break;
    case Kind::front_text:
        s = line_of("front text");
        break;
    case Kind::authentication:
        s = line_of(std::string("authentication ") + e.selector);
        break;
    case Kind::back_text:
        s = line_of("back text");
        break;
    case Kind::check_field:
        s = std::string("check field ") + e.field + ": \"" + shown(e.text) + "\"";
        break;
    case Kind::check:
        s = "check date " + shown(check_date(e)) + ", amount " + shown(check_amount(e)) +
            ", layout " + shown(check_layout(e));
        break;
    case Kind::unknown:
        s = "unknown " + hex_bytes(e.raw);
        break;
    }
    if (with_bytes(e, hex)) s += "  [" + hex_bytes(e.raw) + "]";
    return s;
}

std::string json_line(const Event &e, const ToUtf8 &to_utf8, bool hex) {
    return dump(json_of(e, to_utf8, hex));
}

std::string ready_text(const std::string &device, const std::string &port, const std::string &ini) {
    return "printer on " + device + " (Porta=" + port + " in " + ini + ")";
}

std::string ready_json(const std::string &device, const std::string &port) {
    return dump(Json{{"type", "ready"}, {"device", device}, {"port", port}});
}

} // namespace virt
