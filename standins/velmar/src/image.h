// Images as velmar holds them: 8-bit RGBA, rows top-down. Reading PNG and
// JPEG files (the add-on writes textures in both), writing PNG pictures.
// Nothing here throws; failures come back as false with a reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmar {

struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;  // width * height * 4 bytes

  bool empty() const { return width <= 0 || height <= 0; }
  std::uint8_t* At(int x, int y) { return rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4; }
  const std::uint8_t* At(int x, int y) const { return rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4; }
};

// Images larger than this on either side are refused: a file or block that
// claims more is taken as damaged rather than allocated.
inline constexpr int kMaxImageSide = 16384;

// Reads a PNG or JPEG file, chosen by its first bytes (not its extension).
// False with *error set when the file is missing, of another kind, damaged
// or larger than kMaxImageSide.
bool ReadImageFile(const std::string& path, Image* image, std::string* error);

// Encodes as PNG in memory / writes a PNG file. False with *error on failure
// (an unwritable file leaves nothing half-written under that name).
bool EncodePng(const Image& image, std::vector<std::uint8_t>* bytes, std::string* error);
bool WritePng(const std::string& path, const Image& image, std::string* error);

}  // namespace velmar
