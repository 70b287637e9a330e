// Draws a decoded session as an SVG picture: the front of the document, each
// check, and the back of the document. Needs nothing to render.
#ifndef TARVIK_VIRTUAL_SVG_H
#define TARVIK_VIRTUAL_SVG_H

#include "decoder.h"
#include "format.h"

#include <memory>
#include <string>
#include <vector>

namespace virt {

// A picture drawn as the events come: it keeps what it shows, and nothing of
// the events that show nothing.
class Picture {
  public:
    explicit Picture(ToUtf8 to_utf8);
    ~Picture();
    Picture(const Picture &) = delete;
    Picture &operator=(const Picture &) = delete;

    void add(const Event &e);
    std::string svg() const;

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

std::string render_svg(const std::vector<Event> &events, const ToUtf8 &to_utf8);

} // namespace virt

#endif
