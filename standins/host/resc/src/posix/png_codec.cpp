// PNG encoding and decoding with libpng (the Linux build).
#include "resc/png_image.h"

#include <png.h>

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

}  // namespace resc
