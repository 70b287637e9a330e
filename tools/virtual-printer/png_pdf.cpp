#include "png_pdf.h"

#include "failure.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fontconfig/fontconfig.h>

namespace virt {

namespace {

const int kPixelsPerPoint = 2;
const long long kMostPixels = 32767; // the tallest image that cairo makes
// The tallest page that cairo draws whole: past it, its fixed-point
// coordinates overflow, and the page comes out empty or in broken pieces.
const long long kMostPoints = 8388607;

void colour(cairo_t *cr, const char *hex) {
    unsigned long v = std::strtoul(hex + 1, nullptr, 16);
    double r, g, b;
    if (std::strlen(hex) == 4) {
        r = (v >> 8 & 0xf) / 15.0;
        g = (v >> 4 & 0xf) / 15.0;
        b = (v & 0xf) / 15.0;
    } else {
        r = (v >> 16 & 0xff) / 255.0;
        g = (v >> 8 & 0xff) / 255.0;
        b = (v & 0xff) / 255.0;
    }
    cairo_set_source_rgb(cr, r, g, b);
}

struct Painter {
    cairo_t *cr;

    void operator()(const Box &b) const {
        double x = b.x.v, y = b.y.v, w = b.width.v, h = b.height.v, r = b.radius.v;
        cairo_new_path(cr);
        if (r > 0) {
            cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
            cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
            cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
            cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
            cairo_close_path(cr);
        } else {
            cairo_rectangle(cr, x, y, w, h);
        }
        if (b.fill != nullptr) {
            colour(cr, b.fill);
            cairo_fill_preserve(cr);
        }
        double dash[] = {static_cast<double>(b.dash), static_cast<double>(b.gap)};
        cairo_set_dash(cr, dash, b.dash > 0 ? 2 : 0, 0);
        colour(cr, b.stroke);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
    }
    void operator()(const Line &l) const {
        cairo_move_to(cr, l.x1.v, l.y1.v);
        cairo_line_to(cr, l.x2.v, l.y2.v);
        colour(cr, l.stroke);
        cairo_stroke(cr);
    }
    // A text at a pitch is stretched to fill its width, glyphs and spacing
    // alike, as SVG's lengthAdjust does.
    void operator()(const Text &t) const {
        if (t.text.empty()) return;
        cairo_select_font_face(cr, "DejaVu Sans Mono", CAIRO_FONT_SLANT_NORMAL,
                               t.bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
        cairo_set_font_size(cr, t.size);
        cairo_save(cr);
        cairo_translate(cr, t.x, t.y);
        cairo_text_extents_t own;
        cairo_text_extents(cr, t.text.c_str(), &own);
        if (t.pitch > 0 && own.x_advance > 0) cairo_scale(cr, width_of(t) / own.x_advance, 1);
        if (t.fill != nullptr)
            colour(cr, t.fill);
        else
            cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_move_to(cr, 0, 0);
        cairo_show_text(cr, t.text.c_str());
        cairo_restore(cr);
    }
};

void paint(cairo_t *cr, const Sheet &s) {
    Painter p{cr};
    cairo_set_line_width(cr, 1);
    for (const Shape &shape : s.frame)
        std::visit(p, shape);
    cairo_save(cr);
    cairo_translate(cr, 0, static_cast<double>(s.origin));
    for (const Shape &shape : s.body)
        std::visit(p, shape);
    cairo_restore(cr);
}

cairo_status_t append(void *data, const unsigned char *bytes, unsigned int size) {
    static_cast<std::string *>(data)->append(reinterpret_cast<const char *>(bytes), size);
    return CAIRO_STATUS_SUCCESS;
}

// Ends the drawing: the file's bytes, or a Failure with cairo's reason when
// any step of it failed.
std::string done(cairo_t *cr, cairo_surface_t *surface, cairo_status_t status, std::string &data) {
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_status(cr);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    // What cairo and fontconfig keep for the process (fonts, caches) goes
    // too, so that a leak checker finds nothing left.
    cairo_debug_reset_static_data();
    FcFini();
    if (status != CAIRO_STATUS_SUCCESS) throw Failure{cairo_status_to_string(status)};
    return std::move(data);
}

} // namespace

std::string png(const Layout &layout) {
    if (layout.height > kMostPixels / kPixelsPerPoint)
        throw Failure{"at " + std::to_string(kPixelsPerPoint) + " pixels per point the picture is " +
                      std::to_string(layout.height * kPixelsPerPoint) +
                      " pixels tall, and cairo draws at most " + std::to_string(kMostPixels)};
    std::string data;
    cairo_surface_t *surface =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, layout.width * kPixelsPerPoint,
                                   static_cast<int>(layout.height) * kPixelsPerPoint);
    cairo_t *cr = cairo_create(surface);
    cairo_scale(cr, kPixelsPerPoint, kPixelsPerPoint);
    colour(cr, layout.background);
    cairo_paint(cr);
    for (const Sheet &s : layout.sheets)
        paint(cr, s);
    cairo_status_t status = cairo_status(cr);
    if (status == CAIRO_STATUS_SUCCESS)
        status = cairo_surface_write_to_png_stream(surface, append, &data);
    return done(cr, surface, status, data);
}

std::string pdf(const Layout &layout) {
    for (const Sheet &s : layout.sheets)
        if (s.bottom - s.top > kMostPoints)
            throw Failure{"a sheet of the picture is " + std::to_string(s.bottom - s.top) +
                          " points tall, and cairo draws pages of at most " +
                          std::to_string(kMostPoints)};
    std::string data;
    cairo_surface_t *surface = cairo_pdf_surface_create_for_stream(append, &data, layout.width, 1);
    cairo_t *cr = cairo_create(surface);
    for (const Sheet &s : layout.sheets) {
        cairo_pdf_surface_set_size(surface, layout.width, static_cast<double>(s.bottom - s.top));
        cairo_save(cr);
        colour(cr, layout.background);
        cairo_paint(cr);
        cairo_translate(cr, 0, -static_cast<double>(s.top));
        paint(cr, s);
        cairo_restore(cr);
        cairo_show_page(cr);
    }
    return done(cr, surface, CAIRO_STATUS_SUCCESS, data);
}

} // namespace virt
