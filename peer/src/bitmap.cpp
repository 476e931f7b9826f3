#include "bitmap.h"

#include <cstring>

#include "livelink/layout.h"

using CorvantaAPI::BitmapHeader;
using CorvantaAPI::kBitmapHeaderBytes;

namespace velmar {

namespace {

bool Fail(std::string* field, std::string* error, const char* name, std::string reason) {
  *field = name;
  *error = std::move(reason);
  return false;
}

}  // namespace

bool DecodeBitmap(const std::uint8_t* data, std::size_t bytes, Image* image, std::string* field,
                  std::string* error) {
  if (data == nullptr || bytes < kBitmapHeaderBytes)
    return Fail(field, error, "fileSize",
                "block of " + std::to_string(bytes) + " bytes cannot hold a bitmap header");
  BitmapHeader header;
  std::memcpy(&header, data, sizeof header);  // one copy: the peer may rewrite the block meanwhile
  if (header.magic[0] != 'B' || header.magic[1] != 'M') return Fail(field, error, "magic", "not \"BM\"");
  if (header.fileSize > bytes)
    return Fail(field, error, "fileSize",
                "says " + std::to_string(header.fileSize) + " bytes, the block holds " +
                    std::to_string(bytes));
  if (header.infoSize < CorvantaAPI::kBitmapInfoBytes)
    return Fail(field, error, "infoSize", "header of " + std::to_string(header.infoSize) + " bytes");
  if (header.compression != 0) return Fail(field, error, "compression", "compressed pixels");
  if (header.bitsPerPixel != 32 && header.bitsPerPixel != 24)
    return Fail(field, error, "bitsPerPixel", std::to_string(header.bitsPerPixel) + " bits per pixel");
  const std::int64_t width = header.width;
  const std::int64_t signedHeight = header.height;
  const std::int64_t height = signedHeight < 0 ? -signedHeight : signedHeight;
  if (width <= 0 || width > kMaxImageSide)
    return Fail(field, error, "width", std::to_string(width) + " pixels");
  if (height == 0 || height > kMaxImageSide)
    return Fail(field, error, "height", std::to_string(signedHeight) + " pixels");
  const std::uint64_t pixelBytes = header.bitsPerPixel / 8;
  const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) * pixelBytes + 3) / 4 * 4;
  const std::uint64_t end = static_cast<std::uint64_t>(header.pixelOffset) + rowBytes * height;
  if (header.pixelOffset < kBitmapHeaderBytes || end > header.fileSize || end > bytes)
    return Fail(field, error, "pixelOffset",
                "pixels at " + std::to_string(header.pixelOffset) + " of " +
                    std::to_string(rowBytes * height) + " bytes do not fit in " +
                    std::to_string(std::min<std::uint64_t>(header.fileSize, bytes)) + " bytes");
  Image result;
  result.width = static_cast<int>(width);
  result.height = static_cast<int>(height);
  result.rgba.resize(static_cast<std::size_t>(width * height * 4));
  const bool topDown = signedHeight < 0;
  for (std::int64_t y = 0; y < height; ++y) {
    const std::uint8_t* row = data + header.pixelOffset + rowBytes * static_cast<std::uint64_t>(topDown ? y : height - 1 - y);
    std::uint8_t* out = result.rgba.data() + static_cast<std::size_t>(y * width * 4);
    for (std::int64_t x = 0; x < width; ++x, row += pixelBytes, out += 4) {
      out[0] = row[2];
      out[1] = row[1];
      out[2] = row[0];
      out[3] = pixelBytes == 4 ? row[3] : 255;
    }
  }
  *image = std::move(result);
  return true;
}

}  // namespace velmar
