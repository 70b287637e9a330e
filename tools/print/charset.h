// Texts from the terminal's UTF-8 to the printer's code page.
#ifndef TARVIK_PRINT_CHARSET_H
#define TARVIK_PRINT_CHARSET_H

#include <string>

namespace charset {

// Converts text from UTF-8 to the code page named (as iconv names it:
// CP850, ISO-8859-1 ...). On failure returns false with a one-line reason
// in error: an unknown code page, a character the code page lacks (named,
// with its code point), or text that is not UTF-8.
bool convert(const std::string &name, const std::string &text, std::string &out,
             std::string &error);

// Whether iconv knows the code page.
bool known(const std::string &name);

} // namespace charset

#endif
