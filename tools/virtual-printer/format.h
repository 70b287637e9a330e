// The session's output, one line per decoded event: in words, or as a JSON
// object. Functions over events; the program only writes the lines.
#ifndef TARVIK_VIRTUAL_FORMAT_H
#define TARVIK_VIRTUAL_FORMAT_H

#include "decoder.h"

#include <functional>
#include <string>

namespace virt {

// Turns a text's bytes, in the printer's character set, into UTF-8.
using ToUtf8 = std::function<std::string(const std::string &)>;

// UTF-8 text with everything that is no printable character written as a
// visible escape: controls (C0, DEL, C1) and stray bytes as "\x1B", and what
// XML cannot hold (surrogates, U+FFFE, U+FFFF, beyond U+10FFFF) as "\uFFFE"
// or "\U00110000". What is left is fit for a terminal and for XML.
std::string visible(const std::string &utf8);

// The line for an event, without its line end; hex adds the command's bytes.
std::string text_line(const Event &e, const ToUtf8 &to_utf8, bool hex);
std::string json_line(const Event &e, const ToUtf8 &to_utf8, bool hex);

// The first line: the printer's device, and its port entry in the file ini.
std::string ready_text(const std::string &device, const std::string &port, const std::string &ini);
std::string ready_json(const std::string &device, const std::string &port);

} // namespace virt

#endif
