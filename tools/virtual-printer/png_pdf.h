// Draws a laid-out picture with cairo: as a PNG of the whole picture at two
// pixels per point, or as a PDF with one page per sheet.
#ifndef TARVIK_VIRTUAL_PNG_PDF_H
#define TARVIK_VIRTUAL_PNG_PDF_H

#include "layout.h"

#include <string>

namespace virt {

// The file's bytes; a Failure, with the reason, when it cannot be drawn.
std::string png(const Layout &layout);
std::string pdf(const Layout &layout);

} // namespace virt

#endif
