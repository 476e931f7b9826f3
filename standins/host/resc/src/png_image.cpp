#include "resc/png_image.h"

#include <cmath>
#include <cstring>

namespace resc {
namespace {

bool ParseColour(const std::string& text, std::uint8_t rgb[3]) {
  if (text.size() != 7 || text[0] != '#') return false;
  for (int i = 0; i < 3; ++i) {
    int v = 0;
    for (int k = 0; k < 2; ++k) {
      char c = text[1 + i * 2 + k];
      int d = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    rgb[i] = static_cast<std::uint8_t>(v);
  }
  return true;
}

}  // namespace

bool DrawIcon(int size, const std::string& shape, const std::string& color, const std::string& glyph,
              const std::string& accent, Image* out, std::string* error) {
  std::uint8_t fg[3], ac[3] = {255, 255, 255};
  if (size < 8 || size > 256) {
    *error = "icon size must be 8..256";
    return false;
  }
  if (!ParseColour(color, fg)) {
    *error = "colour \"" + color + "\" is not #RRGGBB";
    return false;
  }
  if (!accent.empty() && !ParseColour(accent, ac)) {
    *error = "accent colour \"" + accent + "\" is not #RRGGBB";
    return false;
  }
  static const char* shapes[] = {"circle", "square", "rounded"};
  static const char* glyphs[] = {"none",  "play", "pause", "stop", "dot",  "ring",
                                 "cross", "bar",  "eye",   "gear", "info", "arrow"};
  bool shapeOk = false, glyphOk = false;
  for (auto* s : shapes) shapeOk = shapeOk || shape == s;
  for (auto* g : glyphs) glyphOk = glyphOk || glyph == g;
  if (!shapeOk) {
    *error = "unknown shape \"" + shape + "\"";
    return false;
  }
  if (!glyphOk) {
    *error = "unknown glyph \"" + glyph + "\"";
    return false;
  }
  Image img;
  img.width = img.height = size;
  img.rgba.assign(static_cast<std::size_t>(size) * size * 4, 0);
  const double c = (size - 1) / 2.0, r = size / 2.0 - 1;
  auto put = [&](int x, int y, const std::uint8_t rgb[3]) {
    auto* p = &img.rgba[(static_cast<std::size_t>(y) * size + x) * 4];
    p[0] = rgb[0];
    p[1] = rgb[1];
    p[2] = rgb[2];
    p[3] = 255;
  };
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      double dx = x - c, dy = y - c;
      bool in = false;
      if (shape == "circle") in = dx * dx + dy * dy <= r * r;
      else if (shape == "square") in = std::fabs(dx) <= r && std::fabs(dy) <= r;
      else {
        double k = r * 0.3, ax = std::fabs(dx) - (r - k), ay = std::fabs(dy) - (r - k);
        in = (ax <= 0 || ay <= 0) ? (std::fabs(dx) <= r && std::fabs(dy) <= r) : ax * ax + ay * ay <= k * k;
      }
      if (in) put(x, y, fg);
    }
  const double g = r * 0.55;  // glyph half-size
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) {
      double dx = x - c, dy = y - c, d2 = dx * dx + dy * dy;
      bool in = false;
      if (glyph == "play") in = dx >= -g * 0.7 && dx <= g && std::fabs(dy) <= (g - dx) * 0.6;
      else if (glyph == "pause") in = std::fabs(dy) <= g && std::fabs(dx) >= g * 0.2 && std::fabs(dx) <= g * 0.65;
      else if (glyph == "stop") in = std::fabs(dx) <= g * 0.8 && std::fabs(dy) <= g * 0.8;
      else if (glyph == "dot") in = d2 <= g * g * 0.5;
      else if (glyph == "ring") in = d2 <= g * g && d2 >= g * g * 0.45;
      else if (glyph == "cross")
        in = (std::fabs(dx - dy) <= g * 0.3 || std::fabs(dx + dy) <= g * 0.3) && std::fabs(dx) <= g &&
             std::fabs(dy) <= g;
      else if (glyph == "bar") in = std::fabs(dy) <= g * 0.25 && std::fabs(dx) <= g;
      else if (glyph == "eye") in = (dx * dx) / (g * g) + (dy * dy) / (g * g * 0.3) <= 1.0 && d2 >= g * g * 0.12;
      else if (glyph == "gear") {
        double a = std::atan2(dy, dx), rr = g * (0.75 + 0.25 * (std::cos(8 * a) > 0 ? 1 : 0));
        in = d2 <= rr * rr && d2 >= g * g * 0.12;
      } else if (glyph == "info")
        in = (std::fabs(dx) <= g * 0.18 && dy >= -g * 0.3 && dy <= g) ||
             (dx * dx + (dy + g * 0.7) * (dy + g * 0.7) <= g * g * 0.05);
      else if (glyph == "arrow")
        in = (std::fabs(dx) <= g * 0.2 && dy >= -g && dy <= g * 0.2) ||
             (dy >= 0 && dy <= g && std::fabs(dx) <= (g - dy) * 0.8);
      if (in) put(x, y, ac);
    }
  *out = std::move(img);
  return true;
}

void Blit(const Image& src, Image* dst, int x0, int y0) {
  for (int y = 0; y < src.height; ++y) {
    int ty = y0 + y;
    if (ty < 0 || ty >= dst->height) continue;
    for (int x = 0; x < src.width; ++x) {
      int tx = x0 + x;
      if (tx < 0 || tx >= dst->width) continue;
      const std::uint8_t* s = &src.rgba[(static_cast<std::size_t>(y) * src.width + x) * 4];
      std::uint8_t* d = &dst->rgba[(static_cast<std::size_t>(ty) * dst->width + tx) * 4];
      unsigned a = s[3];
      for (int k = 0; k < 3; ++k) d[k] = static_cast<std::uint8_t>((s[k] * a + d[k] * (255 - a)) / 255);
      d[3] = static_cast<std::uint8_t>(a + d[3] * (255 - a) / 255);
    }
  }
}

}  // namespace resc
