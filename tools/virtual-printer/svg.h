// Writes a laid-out picture as SVG. Needs nothing to render.
#ifndef TARVIK_VIRTUAL_SVG_H
#define TARVIK_VIRTUAL_SVG_H

#include "layout.h"

#include <string>
#include <vector>

namespace virt {

std::string svg(const Layout &layout);

std::string render_svg(const std::vector<Event> &events, const ToUtf8 &to_utf8);

} // namespace virt

#endif
