// The image codecs on Linux: libpng's simplified interface and
// libjpeg-turbo.
#include "image_codec.h"

#include <png.h>
#include <stdio.h>  // jpeglib.h needs FILE and size_t declared first

#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include "hostmodel/image.h"

namespace hostmodel::detail {

std::string DecodePng(std::span<const std::uint8_t> bytes, DecodedPixels& out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
    std::string msg = std::string("not a readable PNG image (") + image.message + ")";
    png_image_free(&image);
    return msg;
  }
  out.fileHasAlpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
  if (image.width == 0 || image.height == 0 ||
      static_cast<std::uint64_t>(image.width) * image.height > kMaxImagePixels) {
    png_image_free(&image);
    return "PNG size " + std::to_string(image.width) + "x" + std::to_string(image.height) + " is empty or too large";
  }
  image.format = PNG_FORMAT_ARGB;
  out.width = image.width;
  out.height = image.height;
  out.argb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.argb.data(), 0, nullptr)) {
    std::string msg = std::string("damaged PNG image (") + image.message + ")";
    png_image_free(&image);
    return msg;
  }
  png_image_free(&image);
  return {};
}

namespace {

struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void JpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

void JpegSilence(j_common_ptr, int) {}

// The decoder reports errors by longjmp: nothing with a destructor may be
// created between setjmp and the end of decoding except the output buffer,
// which is declared by the caller.
bool DecodeJpegRaw(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& rgb, std::uint32_t& w,
                   std::uint32_t& h, char* message) {
  jpeg_decompress_struct cinfo{};
  JpegError err{};
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  err.mgr.emit_message = JpegSilence;
  if (setjmp(err.jump)) {
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.message);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  w = cinfo.output_width;
  h = cinfo.output_height;
  if (w == 0 || h == 0 || static_cast<std::uint64_t>(w) * h > kMaxImagePixels || cinfo.output_components != 3) {
    std::snprintf(message, JMSG_LENGTH_MAX, "size %ux%u is empty or too large", w, h);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  rgb.resize(static_cast<std::size_t>(w) * h * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = rgb.data() + static_cast<std::size_t>(cinfo.output_scanline) * w * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

// Same longjmp discipline as decoding: the output buffer belongs to libjpeg
// until jpeg_finish_compress, and is copied out only on success.
bool EncodeJpegRaw(const std::vector<std::uint8_t>& rgb, std::uint32_t w, std::uint32_t h, int quality,
                   std::vector<std::uint8_t>& out, char* message) {
  jpeg_compress_struct cinfo{};
  JpegError err{};
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  err.mgr.emit_message = JpegSilence;
  if (setjmp(err.jump)) {
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.message);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = w;
  cinfo.image_height = h;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<std::uint8_t*>(rgb.data()) + static_cast<std::size_t>(cinfo.next_scanline) * w * 3;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  out.assign(buffer, buffer + size);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return true;
}

}  // namespace

std::string DecodeJpeg(std::span<const std::uint8_t> bytes, DecodedPixels& out) {
  std::vector<std::uint8_t> rgb;
  std::uint32_t w = 0, h = 0;
  char message[JMSG_LENGTH_MAX] = {};
  if (!DecodeJpegRaw(bytes, rgb, w, h, message)) return std::string("not a readable JPEG image (") + message + ")";
  out.width = w;
  out.height = h;
  out.fileHasAlpha = false;
  out.argb.resize(static_cast<std::size_t>(w) * h * 4);
  for (std::size_t i = 0, n = static_cast<std::size_t>(w) * h; i < n; ++i) {
    out.argb[4 * i] = 255;
    out.argb[4 * i + 1] = rgb[3 * i];
    out.argb[4 * i + 2] = rgb[3 * i + 1];
    out.argb[4 * i + 3] = rgb[3 * i + 2];
  }
  return {};
}

std::string EncodePng(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, bool argb,
                      std::vector<std::uint8_t>& out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = argb ? PNG_FORMAT_ARGB : PNG_FORMAT_RGB;
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels, 0, nullptr)) {
    png_image_free(&image);
    return "cannot encode PNG (" + std::string(image.message) + ")";
  }
  out.resize(size);
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, pixels, 0, nullptr)) {
    png_image_free(&image);
    return "cannot encode PNG (" + std::string(image.message) + ")";
  }
  out.resize(size);
  return {};
}

std::string EncodeJpeg(const std::vector<std::uint8_t>& rgb, std::uint32_t width, std::uint32_t height, int quality,
                       std::vector<std::uint8_t>& out) {
  char message[JMSG_LENGTH_MAX] = {};
  if (!EncodeJpegRaw(rgb, width, height, quality, out, message))
    return std::string("cannot encode JPEG (") + message + ")";
  return {};
}

}  // namespace hostmodel::detail
