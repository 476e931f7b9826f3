#include "hostsdk/image.h"

#include <jpeglib.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

struct GSPixMap {
  Int32 width = 0;
  Int32 height = 0;
  std::vector<std::uint8_t> pixels;  // A, R, G, B
};

namespace {
constexpr Int32 kMaxSide = 32768;
}

GSPixMapHandle GXCreateGSPixMap(Int32 width, Int32 height, Int32 pixelFormat) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || pixelFormat != GX_ARGB32) return nullptr;
  auto* map = new (std::nothrow) GSPixMap;
  if (map == nullptr) return nullptr;
  try {
    map->pixels.assign(std::size_t(width) * std::size_t(height) * 4, 0);
  } catch (const std::bad_alloc&) {
    delete map;
    return nullptr;
  }
  map->width = width;
  map->height = height;
  return map;
}

void* GXGetGSPixMapBaseAddr(GSPixMapHandle pixMap) { return pixMap != nullptr ? pixMap->pixels.data() : nullptr; }
Int32 GXGetGSPixMapWidth(GSPixMapHandle pixMap) { return pixMap != nullptr ? pixMap->width : 0; }
Int32 GXGetGSPixMapHeight(GSPixMapHandle pixMap) { return pixMap != nullptr ? pixMap->height : 0; }
void GXDeleteGSPixMap(GSPixMapHandle pixMap) { delete pixMap; }

namespace FTM {
TypeID FileTypeManager::SearchForMime(const char* mime) {
  if (mime == nullptr) return UnknownType;
  if (std::strcmp(mime, "image/png") == 0) return PngType;
  if (std::strcmp(mime, "image/jpeg") == 0 || std::strcmp(mime, "image/jpg") == 0) return JpegType;
  return UnknownType;
}
}  // namespace FTM

namespace {

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

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void JpegFail(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }

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

}  // namespace

namespace GX {

GSErrCode Image::WriteToFile(const IO::Location& location, FTM::TypeID type, const ImageSaveOptions& options) const {
  if (pixMap_ == nullptr || location.IsEmpty()) return APIERR_BADPARS;
  if (type != FTM::PngType && type != FTM::JpegType) return APIERR_BADPARS;
  const std::string& path = location.Utf8Path();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return APIERR_IOERROR;
  int quality = options.GetQuality() / 1000;
  quality = quality < 1 ? 1 : quality > 100 ? 100 : quality;
  bool ok = type == FTM::PngType ? WritePng(*pixMap_, file) : WriteJpeg(*pixMap_, file, quality);
  ok = (std::fflush(file) == 0) && ok;
  ok = (std::fclose(file) == 0) && ok;
  if (!ok) {
    std::remove(path.c_str());  // a partial image is worse than none
    return APIERR_IOERROR;
  }
  return NoError;
}

}  // namespace GX
