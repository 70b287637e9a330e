// Draws a decoded session as an SVG picture: the front of the document, each
// check, and the back of the document. Needs nothing to render.
#ifndef TARVIK_VIRTUAL_SVG_H
#define TARVIK_VIRTUAL_SVG_H

#include "decoder.h"

#include <functional>
#include <string>
#include <vector>

namespace virt {

// Turns a text's bytes, in the printer's character set, into UTF-8.
using ToUtf8 = std::function<std::string(const std::string &)>;

// UTF-8 text with its control characters (C0, DEL and C1) written as
// visible escapes such as "\x1B".
std::string visible(const std::string &utf8);

std::string render_svg(const std::vector<Event> &events, const ToUtf8 &to_utf8);

} // namespace virt

#endif
