#include "charset.h"

#include <cerrno>
#include <cstdio>
#include <iconv.h>

namespace charset {

namespace {

class Converter {
  public:
    Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;
    bool ok() const {
        return cd_ != reinterpret_cast<iconv_t>(-1);
    }
    iconv_t get() const {
        return cd_;
    }

  private:
    iconv_t cd_;
};

// The character at the start of rest, decoded by iconv itself: "'Ş' (U+015E)",
// or nothing when rest does not start with a whole UTF-8 character.
bool describe(const char *rest, std::size_t left, std::string &what) {
    Converter wide("UTF-32BE", "UTF-8");
    if (!wide.ok()) return false;
    unsigned char code[4];
    char *in = const_cast<char *>(rest);
    char *out = reinterpret_cast<char *>(code);
    std::size_t out_left = sizeof code;
    iconv(wide.get(), &in, &left, &out, &out_left);
    if (out_left != 0) return false; // no whole character came through
    unsigned long point = (unsigned long)code[0] << 24 | (unsigned long)code[1] << 16 |
                          (unsigned long)code[2] << 8 | code[3];
    char number[16];
    std::snprintf(number, sizeof number, "U+%04lX", point);
    what = "'" + std::string(rest, static_cast<std::size_t>(in - rest)) + "' (" + number + ")";
    return true;
}

} // namespace

bool known(const std::string &name) {
    return Converter(name.c_str(), "UTF-8").ok();
}

bool convert(const std::string &name, const std::string &text, std::string &out,
             std::string &error) {
    Converter cd(name.c_str(), "UTF-8");
    if (!cd.ok()) {
        error = "unknown character set \"" + name + "\"";
        return false;
    }
    out.clear();
    char *in = const_cast<char *>(text.data());
    std::size_t left = text.size();
    char buf[256];
    while (left > 0) {
        char *put = buf;
        std::size_t room = sizeof buf;
        std::size_t r = iconv(cd.get(), &in, &left, &put, &room);
        out.append(buf, sizeof buf - room);
        if (r != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
        std::string what;
        if (errno == EILSEQ && describe(in, left, what))
            error = what + " is not in " + name;
        else
            error = "the text is not UTF-8 at byte " + std::to_string(text.size() - left + 1);
        return false;
    }
    // Back to the initial shift state, for the code pages that have one.
    char *put = buf;
    std::size_t room = sizeof buf;
    iconv(cd.get(), nullptr, nullptr, &put, &room);
    out.append(buf, sizeof buf - room);
    return true;
}

} // namespace charset
