// The host's image writer: pixel maps of A,R,G,B bytes written as PNG or
// JPEG files. PNG files are 32-bit RGBA and JPEG files 24-bit (libpng and
// libjpeg-turbo on Linux, stb_image_write on Windows: the same pixels in a
// PNG, other compressed bytes); the host's quality scale runs to 100000.
// Paths are UTF-8.
#pragma once

#include <cstdint>
#include <string>

#include "hostsdk/location.h"
#include "hostsdk/types.h"

// A pixel map; null when creation failed.
struct GSPixMap;
using GSPixMapHandle = GSPixMap*;

// The one pixel format: 32 bits per pixel, bytes A, R, G, B.
inline constexpr Int32 GX_ARGB32 = 0x48;

// Null for a size of 0 or below, a size past 32768 per side, an unknown
// format or when memory runs out. The pixels start zeroed.
GSPixMapHandle GXCreateGSPixMap(Int32 width, Int32 height, Int32 pixelFormat);
// The first byte of the first (top) row; rows follow without padding.
void* GXGetGSPixMapBaseAddr(GSPixMapHandle pixMap);
Int32 GXGetGSPixMapWidth(GSPixMapHandle pixMap);
Int32 GXGetGSPixMapHeight(GSPixMapHandle pixMap);
void GXDeleteGSPixMap(GSPixMapHandle pixMap);

namespace FTM {

using TypeID = Int32;
inline constexpr TypeID UnknownType = 0;
inline constexpr TypeID PngType = 1;
inline constexpr TypeID JpegType = 2;

class FileTypeManager {
 public:
  // "image/png" and "image/jpeg" (also "image/jpg"); UnknownType otherwise.
  static TypeID SearchForMime(const char* mime);
};

}  // namespace FTM

namespace GX {

class ImageSaveOptions {
 public:
  // 24 or 32; a PNG is always written with alpha, a JPEG always without.
  void SetPixelBits(Int32 bits) { pixelBits_ = bits; }
  // 0..100000; 90000 is libjpeg's 90.
  void SetQuality(Int32 quality) { quality_ = quality; }
  Int32 GetPixelBits() const { return pixelBits_; }
  Int32 GetQuality() const { return quality_; }

 private:
  Int32 pixelBits_ = 32;
  Int32 quality_ = 90000;
};

class Image {
 public:
  // Refers to the pixel map; the map must outlive the image.
  explicit Image(GSPixMapHandle pixMap) : pixMap_(pixMap) {}
  // 0 on success. On failure (no pixel map, unknown type, a file that
  // cannot be written) nothing is left at the location.
  GSErrCode WriteToFile(const IO::Location& location, FTM::TypeID type, const ImageSaveOptions& options) const;

 private:
  GSPixMapHandle pixMap_;
};

}  // namespace GX
