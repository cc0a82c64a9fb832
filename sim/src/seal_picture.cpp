#include "seal_picture.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>

namespace vcard {
namespace {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

cairo_status_t AppendChunk(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<Bytes*>(closure)->insert(static_cast<Bytes*>(closure)->end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

struct ReadCursor {
  const Bytes* png;
  size_t pos;
};

cairo_status_t ReadChunk(void* closure, unsigned char* data, unsigned int length) {
  auto* cursor = static_cast<ReadCursor*>(closure);
  if (cursor->png->size() - cursor->pos < length) return CAIRO_STATUS_READ_ERROR;
  std::copy_n(cursor->png->begin() + static_cast<std::ptrdiff_t>(cursor->pos), length, data);
  cursor->pos += length;
  return CAIRO_STATUS_SUCCESS;
}

Bytes ToPng(cairo_surface_t* surface) {
  Bytes png;
  if (cairo_surface_write_to_png_stream(surface, AppendChunk, &png) != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error("PNG encoding failed");
  return png;
}

void Star(cairo_t* cr, double cx, double cy, double outer) {
  const double inner = outer * 0.382;
  for (int i = 0; i < 10; ++i) {
    const double r = (i % 2 == 0) ? outer : inner;
    const double angle = -M_PI / 2 + i * M_PI / 5;
    if (i == 0) {
      cairo_move_to(cr, cx + r * std::cos(angle), cy + r * std::sin(angle));
    } else {
      cairo_line_to(cr, cx + r * std::cos(angle), cy + r * std::sin(angle));
    }
  }
  cairo_close_path(cr);
  cairo_fill(cr);
}

}  // namespace

Bytes DrawSealPng(const std::string& owner, int size) {
  const Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size));
  const Context cr(cairo_create(surface.get()));
  const double s = size;
  cairo_set_source_rgba(cr.get(), 0.85, 0.05, 0.05, 1.0);
  cairo_set_line_width(cr.get(), s * 0.04);
  cairo_arc(cr.get(), s / 2, s / 2, s * 0.46, 0, 2 * M_PI);
  cairo_stroke(cr.get());
  cairo_set_line_width(cr.get(), s * 0.012);
  cairo_arc(cr.get(), s / 2, s / 2, s * 0.40, 0, 2 * M_PI);
  cairo_stroke(cr.get());
  Star(cr.get(), s / 2, s / 2, s * 0.16);
  cairo_select_font_face(cr.get(), "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr.get(), s * 0.075);
  cairo_text_extents_t extents;
  cairo_text_extents(cr.get(), owner.c_str(), &extents);
  cairo_move_to(cr.get(), (s - extents.width) / 2 - extents.x_bearing, s * 0.80);
  cairo_show_text(cr.get(), owner.c_str());
  return ToPng(surface.get());
}

Bytes WatermarkPng(const Bytes& png, const std::string& text, const Bytes& hash) {
  ReadCursor cursor{&png, 0};
  const Surface surface(cairo_image_surface_create_from_png_stream(ReadChunk, &cursor));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) throw std::runtime_error("bad seal picture");
  const Context cr(cairo_create(surface.get()));
  const double s = cairo_image_surface_get_width(surface.get());
  cairo_set_source_rgba(cr.get(), 0.85, 0.05, 0.05, 0.35);
  cairo_select_font_face(cr.get(), "monospace", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr.get(), s * 0.035);
  static const char digits[] = "0123456789ABCDEF";
  std::string line;
  for (size_t i = 0; i < hash.size(); ++i) {
    line.push_back(digits[hash[i] >> 4]);
    line.push_back(digits[hash[i] & 0x0F]);
    if (line.size() == 32 || i + 1 == hash.size()) {
      cairo_move_to(cr.get(), s * 0.12, s * 0.30 + static_cast<double>(i / 16) * s * 0.05);
      cairo_show_text(cr.get(), line.c_str());
      line.clear();
    }
  }
  if (!text.empty()) {
    cairo_move_to(cr.get(), s * 0.12, s * 0.66);
    cairo_show_text(cr.get(), text.c_str());
  }
  return ToPng(surface.get());
}

}  // namespace vcard
