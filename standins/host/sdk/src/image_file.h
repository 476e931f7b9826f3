// The image writer's pixel map, and what each platform does its own way:
// encoding (src/posix/: libpng and libjpeg-turbo; src/win/: stb_image_write)
// and opening the file by its UTF-8 path.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hostsdk/image.h"

struct GSPixMap {
  Int32 width = 0;
  Int32 height = 0;
  std::vector<std::uint8_t> pixels;  // A, R, G, B
};

namespace hostsdk::detail {

// Write the whole map to an open file: PNG as 8-bit RGBA, JPEG as 8-bit RGB
// of the given quality (1..100). False when encoding or writing failed.
bool WritePng(const GSPixMap& map, std::FILE* file);
bool WriteJpeg(const GSPixMap& map, std::FILE* file, int quality);

// The file at a UTF-8 path, created or emptied for writing; null on failure.
std::FILE* OpenImageFile(const std::string& path);
void RemoveImageFile(const std::string& path);

}  // namespace hostsdk::detail
