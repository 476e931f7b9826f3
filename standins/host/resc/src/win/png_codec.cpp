// PNG encoding and decoding on Windows, where Debian packages no libpng for
// MinGW: stb_image and stb_image_write, kept private to this file. Decoded
// pixels are libpng's; encoded bytes differ from libpng's (another
// compressor), their pixels do not.
#include "resc/png_image.h"

#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_FAILURE_USERMSG
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include <climits>
#include <cstring>
#include <memory>

namespace resc {
namespace {
constexpr int kMaxSide = 4096;

void AppendBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

struct PixelsFree {
  void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};
}  // namespace

std::vector<std::uint8_t> EncodePng(const Image& image) {
  std::vector<std::uint8_t> bytes;
  if (image.width <= 0 || image.height <= 0 ||
      image.rgba.size() != static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) * 4)
    return bytes;
  if (stbi_write_png_to_func(AppendBytes, &bytes, image.width, image.height, 4, image.rgba.data(), image.width * 4) ==
      0)
    bytes.clear();
  return bytes;
}

bool DecodePng(const std::vector<std::uint8_t>& bytes, Image* out, std::string* error) {
  *out = Image{};
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() < 8 || std::memcmp(bytes.data(), kSignature, 8) != 0) {
    if (error) *error = "not a PNG image";
    return false;
  }
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
    if (error) *error = "bad PNG data";
    return false;
  }
  const int length = static_cast<int>(bytes.size());
  int width = 0, height = 0, channels = 0;
  // The size is checked before any pixel is allocated.
  if (stbi_info_from_memory(bytes.data(), length, &width, &height, &channels) == 0) {
    if (error) *error = std::string("bad PNG data: ") + stbi_failure_reason();
    return false;
  }
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) {
    if (error) *error = "image size out of range";
    return false;
  }
  const std::unique_ptr<stbi_uc, PixelsFree> pixels(
      stbi_load_from_memory(bytes.data(), length, &width, &height, &channels, 4));
  if (!pixels) {
    if (error) *error = std::string("bad PNG data: ") + stbi_failure_reason();
    return false;
  }
  out->width = width;
  out->height = height;
  out->rgba.assign(pixels.get(), pixels.get() + static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  return true;
}

}  // namespace resc
