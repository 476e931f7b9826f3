#include "scene/texture_bitmap.h"

#include <cstring>

#include "livelink/layout.h"

namespace scene {

std::optional<std::uint32_t> MemoryBitmapBytes(std::uint64_t pixelCount) {
  constexpr std::uint64_t kMaxPixels = (0xFFFFFFFFull - CorvantaAPI::kBitmapHeaderBytes) / 4;
  if (pixelCount > kMaxPixels) return std::nullopt;
  return static_cast<std::uint32_t>(CorvantaAPI::kBitmapHeaderBytes + 4 * pixelCount);
}

void WriteMemoryBitmap(std::uint8_t* out, std::int32_t width, std::int32_t height, const std::uint8_t* argb,
                       bool keepAlpha) {
  const std::uint64_t pixels = std::uint64_t(width) * std::uint64_t(height);
  CorvantaAPI::BitmapHeader header{};
  header.magic[0] = 'B';
  header.magic[1] = 'M';
  header.fileSize = static_cast<std::uint32_t>(CorvantaAPI::kBitmapHeaderBytes + 4 * pixels);
  header.pixelOffset = CorvantaAPI::kBitmapHeaderBytes;
  header.infoSize = CorvantaAPI::kBitmapInfoBytes;
  header.width = width;
  header.height = -height;  // top-down rows, as the host delivers them
  header.planes = 1;
  header.bitsPerPixel = 32;
  header.imageSize = static_cast<std::uint32_t>(4 * pixels);
  std::memcpy(out, &header, sizeof(header));

  // A, R, G, B in memory read as one little-endian word is B<<24|G<<16|R<<8|A;
  // swapping its bytes gives the bitmap's B, G, R, A. Alpha is then the top
  // byte.
  const std::uint32_t opaque = keepAlpha ? 0u : 0xFF000000u;
  std::uint8_t* dst = out + CorvantaAPI::kBitmapHeaderBytes;
  for (std::uint64_t i = 0; i < pixels; ++i) {
    std::uint32_t word;
    std::memcpy(&word, argb + 4 * i, 4);
    word = __builtin_bswap32(word) | opaque;
    std::memcpy(dst + 4 * i, &word, 4);
  }
}

}  // namespace scene
