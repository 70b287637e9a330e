#include "charset.h"

#include "failure.h"

#include <cerrno>
#include <cstdio>

namespace charset {

Converter::Converter(const std::string &to, const std::string &from)
    : cd_(iconv_open(to.c_str(), from.c_str())) {}

Converter::~Converter() {
    if (ok()) iconv_close(cd_);
}

bool Converter::convert(const std::string &in, std::string &out, Bad bad, std::size_t *bad_at) {
    char *src = const_cast<char *>(in.data());
    std::size_t left = in.size();
    char buf[256];
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    while (left > 0) {
        char *dst = buf;
        std::size_t room = sizeof buf;
        std::size_t r = iconv(cd_, &src, &left, &dst, &room);
        out.append(buf, sizeof buf - room);
        if (r != static_cast<std::size_t>(-1) || (errno == E2BIG && dst != buf)) continue;
        // Input that does not convert, or a character cut short at the end.
        if (bad == Bad::refuse) {
            if (bad_at != nullptr) *bad_at = in.size() - left;
            return false;
        }
        out += "\xEF\xBF\xBD";
        // Some converters take the bad bytes and still fail: nothing is left
        // to skip then.
        if (left > 0) {
            ++src;
            --left;
        }
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    // Back to the initial shift state, for the character sets that have one.
    char *dst = buf;
    std::size_t room = sizeof buf;
    iconv(cd_, nullptr, nullptr, &dst, &room);
    out.append(buf, sizeof buf - room);
    return true;
}

namespace {

// The character at the start of rest, decoded by iconv itself: "'Ş' (U+015E)",
// or nothing when rest does not start with a whole UTF-8 character.
bool describe(const std::string &rest, std::string &what) {
    Converter wide("UTF-32BE", "UTF-8");
    for (std::size_t n = 1; n <= 4 && n <= rest.size() && wide.ok(); ++n) {
        std::string code;
        if (!wide.convert(rest.substr(0, n), code, Bad::refuse) || code.size() != 4) continue;
        unsigned long point = 0;
        for (unsigned char c : code)
            point = point << 8 | c;
        char number[16];
        std::snprintf(number, sizeof number, "U+%04lX", point);
        what = "'" + rest.substr(0, n) + "' (" + number + ")";
        return true;
    }
    return false;
}

} // namespace

bool known(const std::string &name) {
    return Converter(name, "UTF-8").ok();
}

std::string convert(const std::string &name, const std::string &text) {
    Converter cd(name, "UTF-8");
    if (!cd.ok()) throw Failure("unknown character set \"" + name + "\"");
    std::string out;
    std::size_t at = 0;
    if (cd.convert(text, out, Bad::refuse, &at)) return out;
    std::string what;
    if (describe(text.substr(at), what)) throw Failure(what + " is not in " + name);
    throw Failure("the text is not UTF-8 at byte " + std::to_string(at + 1));
}

} // namespace charset
