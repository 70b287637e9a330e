// Texts between the printer's code page and UTF-8, through iconv: the virtual
// printer shows what it receives, tarvik-print converts what it sends.
#ifndef TARVIK_TOOLS_CHARSET_H
#define TARVIK_TOOLS_CHARSET_H

#include <cstddef>
#include <iconv.h>
#include <string>

namespace charset {

// What a conversion does with input that does not convert.
enum class Bad {
    replace, // each such byte becomes U+FFFD (for a conversion to UTF-8)
    refuse,  // the conversion stops there
};

// One iconv conversion, named as iconv names the character sets.
class Converter {
  public:
    Converter(const std::string &to, const std::string &from);
    ~Converter();
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    // Whether iconv knows both character sets.
    bool ok() const {
        return cd_ != reinterpret_cast<iconv_t>(-1);
    }
    // Converts all of in into out. With Bad::refuse, returns false at the
    // first input that does not convert, with its offset in bad_at.
    bool convert(const std::string &in, std::string &out, Bad bad, std::size_t *bad_at = nullptr);

  private:
    iconv_t cd_;
};

// Converts text from UTF-8 to the code page named (CP850, ISO-8859-1 ...).
// Throws a Failure that says why it cannot: an unknown code page, a
// character the code page lacks (named, with its code point), or text that
// is not UTF-8.
std::string convert(const std::string &name, const std::string &text);

// Whether iconv knows the code page.
bool known(const std::string &name);

} // namespace charset

#endif
