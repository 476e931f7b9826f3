// The image writer's encoders on Linux: libpng and libjpeg-turbo.
#include <png.h>
#include <stdio.h>  // jpeglib.h needs FILE and size_t declared first

#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <vector>

#include "../image_file.h"

namespace hostsdk::detail {

// Rows are converted one at a time, so a large map needs no second copy.
bool WritePng(const GSPixMap& map, FILE* file) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  std::vector<std::uint8_t> row(std::size_t(map.width) * 4);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, png_uint_32(map.width), png_uint_32(map.height), 8, PNG_COLOR_TYPE_RGB_ALPHA,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (Int32 y = 0; y < map.height; ++y) {
    const std::uint8_t* src = map.pixels.data() + std::size_t(y) * std::size_t(map.width) * 4;
    for (std::size_t x = 0; x < std::size_t(map.width); ++x) {
      row[x * 4 + 0] = src[x * 4 + 1];
      row[x * 4 + 1] = src[x * 4 + 2];
      row[x * 4 + 2] = src[x * 4 + 3];
      row[x * 4 + 3] = src[x * 4 + 0];
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

namespace {

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void JpegFail(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }

}  // namespace

bool WriteJpeg(const GSPixMap& map, FILE* file, int quality) {
  jpeg_compress_struct info;
  JpegError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = &JpegFail;
  std::vector<std::uint8_t> row(std::size_t(map.width) * 3);
  if (setjmp(error.jump)) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file);
  info.image_width = JDIMENSION(map.width);
  info.image_height = JDIMENSION(map.height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  for (Int32 y = 0; y < map.height; ++y) {
    const std::uint8_t* src = map.pixels.data() + std::size_t(y) * std::size_t(map.width) * 4;
    for (std::size_t x = 0; x < std::size_t(map.width); ++x) {
      row[x * 3 + 0] = src[x * 4 + 1];
      row[x * 3 + 1] = src[x * 4 + 2];
      row[x * 3 + 2] = src[x * 4 + 3];
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

std::FILE* OpenImageFile(const std::string& path) { return std::fopen(path.c_str(), "wb"); }

void RemoveImageFile(const std::string& path) { std::remove(path.c_str()); }

}  // namespace hostsdk::detail
