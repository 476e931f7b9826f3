#include "resc/png_image.h"

#include <png.h>

#include <cmath>
#include <csetjmp>
#include <cstring>

namespace resc {
namespace {

struct WriteState {
  std::vector<std::uint8_t>* out;
};

void WriteBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* st = static_cast<WriteState*>(png_get_io_ptr(png));
  st->out->insert(st->out->end(), data, data + length);
}
void FlushNothing(png_structp) {}

struct ReadState {
  const std::vector<std::uint8_t>* in;
  std::size_t pos;
};

void ReadBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* st = static_cast<ReadState*>(png_get_io_ptr(png));
  if (length > st->in->size() - st->pos) png_error(png, "PNG data cut short");
  std::memcpy(data, st->in->data() + st->pos, length);
  st->pos += length;
}

// libpng reports errors by longjmp; the message is kept for the caller.
struct ErrorState {
  std::string message;
};
void OnError(png_structp png, png_const_charp msg) {
  auto* st = static_cast<ErrorState*>(png_get_error_ptr(png));
  if (st) st->message = msg ? msg : "libpng error";
  png_longjmp(png, 1);
}
void OnWarning(png_structp, png_const_charp) {}

bool ParseColour(const std::string& text, std::uint8_t rgb[3]) {
  if (text.size() != 7 || text[0] != '#') return false;
  for (int i = 0; i < 3; ++i) {
    int v = 0;
    for (int k = 0; k < 2; ++k) {
      char c = text[1 + i * 2 + k];
      int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    rgb[i] = static_cast<std::uint8_t>(v);
  }
  return true;
}

}  // namespace

std::vector<std::uint8_t> EncodePng(const Image& image) {
  std::vector<std::uint8_t> out;
  if (image.width <= 0 || image.height <= 0 ||
      image.rgba.size() != static_cast<std::size_t>(image.width) * image.height * 4)
    return out;
  ErrorState err;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &err, OnError, OnWarning);
  if (!png) return out;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return out;
  }
  WriteState st{&out};
  std::vector<png_bytep> rows(image.height);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    out.clear();
    return out;
  }
  png_set_write_fn(png, &st, WriteBytes, FlushNothing);
  png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < image.height; ++y)
    rows[y] = const_cast<png_bytep>(image.rgba.data() + static_cast<std::size_t>(y) * image.width * 4);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

bool DecodePng(const std::vector<std::uint8_t>& bytes, Image* out, std::string* error) {
  *out = Image{};
  if (bytes.size() < 8 || png_sig_cmp(bytes.data(), 0, 8) != 0) {
    if (error) *error = "not a PNG image";
    return false;
  }
  ErrorState err;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &err, OnError, OnWarning);
  if (!png) {
    if (error) *error = "out of memory";
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    if (error) *error = "out of memory";
    return false;
  }
  ReadState st{&bytes, 0};
  // Kept outside the setjmp scope so that a longjmp cannot leave them torn.
  static thread_local Image work;
  static thread_local std::vector<png_bytep> rows;
  work = Image{};
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    if (error) *error = err.message.empty() ? "bad PNG data" : err.message;
    return false;
  }
  png_set_read_fn(png, &st, ReadBytes);
  png_read_info(png, info);
  png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  if (w == 0 || h == 0 || w > 4096 || h > 4096) png_error(png, "image size out of range");
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != w * 4) png_error(png, "unexpected pixel format");
  work.width = static_cast<int>(w);
  work.height = static_cast<int>(h);
  work.rgba.assign(static_cast<std::size_t>(w) * h * 4, 0);
  rows.resize(h);
  for (png_uint_32 y = 0; y < h; ++y) rows[y] = work.rgba.data() + static_cast<std::size_t>(y) * w * 4;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  *out = std::move(work);
  return true;
}

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
  static const char* glyphs[] = {"none", "play", "pause", "stop", "dot", "ring", "cross", "bar", "eye", "gear", "info", "arrow"};
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
      else if (glyph == "cross") in = (std::fabs(dx - dy) <= g * 0.3 || std::fabs(dx + dy) <= g * 0.3) && std::fabs(dx) <= g && std::fabs(dy) <= g;
      else if (glyph == "bar") in = std::fabs(dy) <= g * 0.25 && std::fabs(dx) <= g;
      else if (glyph == "eye") in = (dx * dx) / (g * g) + (dy * dy) / (g * g * 0.3) <= 1.0 && d2 >= g * g * 0.12;
      else if (glyph == "gear") {
        double a = std::atan2(dy, dx), rr = g * (0.75 + 0.25 * (std::cos(8 * a) > 0 ? 1 : 0));
        in = d2 <= rr * rr && d2 >= g * g * 0.12;
      } else if (glyph == "info") in = (std::fabs(dx) <= g * 0.18 && dy >= -g * 0.3 && dy <= g) || (dx * dx + (dy + g * 0.7) * (dy + g * 0.7) <= g * g * 0.05);
      else if (glyph == "arrow") in = (std::fabs(dx) <= g * 0.2 && dy >= -g && dy <= g * 0.2) || (dy >= 0 && dy <= g && std::fabs(dx) <= (g - dy) * 0.8);
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
