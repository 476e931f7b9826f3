// Image files on Windows, where Debian packages no libpng or libjpeg for
// MinGW: stb_image reads PNG and JPEG and stb_image_write writes PNG.
// PNG pixels are those libpng gives; a JPEG's may differ from libjpeg's by
// its rounding (a texture's pixels, never a surface's count, bounds or
// geometry digest).
#include "image.h"

#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#define STBI_FAILURE_USERMSG
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>

#include "base/utf.h"
#include "base/windows_text.h"

namespace velmar {

namespace {

// No image velmar holds comes from a larger file: even kMaxImageSide
// squared stored without compression fits.
constexpr std::uintmax_t kMaxFileBytes = std::uintmax_t{1} << 31;

std::filesystem::path NativePath(const std::string& utf8) {
  return std::filesystem::path(base::ToWide(base::FromUtf8(utf8)));
}

// The whole file, only when it is a regular file of a sane size: a texture
// path comes from a link's shared memory and may name a device or a pipe.
bool ReadRegular(const std::string& path, std::string* bytes, std::string* error) {
  std::error_code failure;
  const std::filesystem::path native = NativePath(path);
  const auto status = std::filesystem::status(native, failure);
  if (failure || !std::filesystem::exists(status)) {
    *error = "no such file " + path;
    return false;
  }
  if (!std::filesystem::is_regular_file(status)) {
    *error = "not a regular file: " + path;
    return false;
  }
  const std::uintmax_t size = std::filesystem::file_size(native, failure);
  if (failure || size > kMaxFileBytes) {
    *error = "cannot read " + path;
    return false;
  }
  std::ifstream in(native, std::ios::binary);
  bytes->resize(static_cast<std::size_t>(size));
  if (!in || !in.read(bytes->data(), static_cast<std::streamsize>(size))) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
}

struct PixelsFree {
  void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};

void AppendBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

bool ReadImageFile(const std::string& path, Image* image, std::string* error) {
  std::string file;
  if (!ReadRegular(path, &file, error)) return false;
  if (file.size() < 3) {
    *error = "too short for an image: " + path;
    return false;
  }
  if (file.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    *error = "cannot read " + path;
    return false;
  }
  const auto* data = reinterpret_cast<const stbi_uc*>(file.data());
  const int length = static_cast<int>(file.size());
  static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const bool png = file.size() >= 8 && std::memcmp(data, kPngSignature, 8) == 0;
  const bool jpeg = data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
  if (!png && !jpeg) {
    *error = "neither PNG nor JPEG: " + path;
    return false;
  }
  const char* kind = png ? "PNG" : "JPEG";
  // The size is checked before any pixel is allocated.
  int width = 0, height = 0, channels = 0;
  if (stbi_info_from_memory(data, length, &width, &height, &channels) == 0) {
    *error = std::string(png ? "not a readable PNG: " : "damaged JPEG: ") + stbi_failure_reason();
    return false;
  }
  if (width <= 0 || height <= 0 || width > kMaxImageSide || height > kMaxImageSide) {
    *error = std::string(kind) + " of " + std::to_string(width) + " x " + std::to_string(height) + " pixels refused";
    return false;
  }
  const std::unique_ptr<stbi_uc, PixelsFree> pixels(stbi_load_from_memory(data, length, &width, &height, &channels, 4));
  if (!pixels) {
    *error = std::string("damaged ") + kind + ": " + stbi_failure_reason();
    return false;
  }
  Image result;
  result.width = width;
  result.height = height;
  result.rgba.assign(pixels.get(), pixels.get() + static_cast<std::size_t>(width) * height * 4);
  *image = std::move(result);
  return true;
}

bool EncodePng(const Image& image, std::vector<std::uint8_t>* bytes, std::string* error) {
  if (image.empty() || image.rgba.size() != static_cast<std::size_t>(image.width) * image.height * 4) {
    *error = "no pixels to encode";
    return false;
  }
  bytes->clear();
  if (stbi_write_png_to_func(AppendBytes, bytes, image.width, image.height, 4, image.rgba.data(), image.width * 4) ==
      0) {
    *error = "PNG encoding failed";
    return false;
  }
  return true;
}

bool WritePng(const std::string& path, const Image& image, std::string* error) {
  std::vector<std::uint8_t> bytes;
  if (!EncodePng(image, &bytes, error)) return false;
  // Written beside the target and moved over it, so a reader never sees
  // half a picture.
  const std::filesystem::path target = NativePath(path);
  std::filesystem::path temporary = target;
  temporary += L".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size())) ||
        !out.flush()) {
      out.close();
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      *error = "cannot write " + path;
      return false;
    }
  }
  if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const DWORD code = GetLastError();
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    *error = "cannot write " + path + " (error " + std::to_string(code) + ")";
    return false;
  }
  return true;
}

}  // namespace velmar
