// The image codecs each platform brings (src/posix/: libpng and
// libjpeg-turbo; src/win/: stb_image and stb_image_write). What lies above
// them, the texture made of the pixels and the files, is the same on both
// (image.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace hostmodel::detail {

struct DecodedPixels {
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> argb;  // A, R, G, B; rows top first
  bool fileHasAlpha = false;       // the file has an alpha channel (opaque or not)
};

// Empty on success, else what is wrong, for a message that already names
// the file: "not a readable PNG image (...)", "PNG size WxH is empty or too
// large", "damaged PNG image (...)", "not a readable JPEG image (...)". A
// size past kMaxImagePixels is refused before any pixel is allocated.
std::string DecodePng(std::span<const std::uint8_t> bytes, DecodedPixels& out);
std::string DecodeJpeg(std::span<const std::uint8_t> bytes, DecodedPixels& out);

// Encodes width x height pixels of A,R,G,B (argb) or R,G,B (!argb) as an
// 8-bit PNG of the same channels. Empty on success, else the problem.
std::string EncodePng(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, bool argb,
                      std::vector<std::uint8_t>& out);
// A baseline JPEG of R,G,B pixels, quality 1..100.
std::string EncodeJpeg(const std::vector<std::uint8_t>& rgb, std::uint32_t width, std::uint32_t height, int quality,
                       std::vector<std::uint8_t>& out);

}  // namespace hostmodel::detail
