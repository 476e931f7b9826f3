// The image codecs on Windows, where Debian packages no libpng or libjpeg for
// MinGW: stb_image reads PNG and JPEG, stb_image_write writes them.
//
// An 8-bit PNG's pixels are those libpng gives. A 16-bit PNG's are cut to
// their high bytes (libpng's simplified reader converts them from linear
// light), and a JPEG's may differ from libjpeg's by the rounding of its
// colour conversion and upsampling. Written PNG files hold the same pixels
// as libpng's, in other compressed bytes.
#include "image_codec.h"

#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#define STBI_FAILURE_USERMSG
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include <cstring>
#include <limits>
#include <memory>

#include "hostmodel/image.h"

namespace hostmodel::detail {

namespace {

struct PixelsFree {
  void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};

std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// Whether the PNG has an alpha channel as libpng's simplified reader reports
// it: a colour type with alpha, or a transparency chunk before the image
// data. Chunk lengths are checked against the bytes there are.
bool PngDeclaresAlpha(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 33) return false;
  const std::uint8_t colourType = bytes[25];
  if (colourType == 4 || colourType == 6) return true;
  std::size_t at = 8;
  while (bytes.size() - at >= 12) {
    const std::uint32_t length = Be32(&bytes[at]);
    const std::uint8_t* type = &bytes[at + 4];
    if (std::memcmp(type, "tRNS", 4) == 0) return true;
    if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0) return false;
    if (length > bytes.size() - at - 12) return false;
    at += 12 + std::size_t{length};
  }
  return false;
}

// Reads the size first, so that an absurd header is refused before any
// pixel is allocated; then the pixels as R,G,B,A, handed out as A,R,G,B.
std::string Decode(std::span<const std::uint8_t> bytes, const char* kind, DecodedPixels& out) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return std::string("not a readable ") + kind + " image (larger than 2 GiB)";
  const auto* data = reinterpret_cast<const stbi_uc*>(bytes.data());
  const int length = static_cast<int>(bytes.size());
  int width = 0, height = 0, channels = 0;
  if (stbi_info_from_memory(data, length, &width, &height, &channels) == 0)
    return std::string("not a readable ") + kind + " image (" + stbi_failure_reason() + ")";
  if (width <= 0 || height <= 0 ||
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxImagePixels)
    return std::string(kind) + " size " + std::to_string(width) + "x" + std::to_string(height) +
           " is empty or too large";
  const std::unique_ptr<stbi_uc, PixelsFree> rgba(stbi_load_from_memory(data, length, &width, &height, &channels, 4));
  if (!rgba) return std::string("damaged ") + kind + " image (" + stbi_failure_reason() + ")";
  out.width = static_cast<std::uint32_t>(width);
  out.height = static_cast<std::uint32_t>(height);
  const std::size_t count = std::size_t{out.width} * out.height;
  out.argb.resize(count * 4);
  const stbi_uc* src = rgba.get();
  for (std::size_t i = 0; i < count; ++i) {
    out.argb[4 * i] = src[4 * i + 3];
    out.argb[4 * i + 1] = src[4 * i];
    out.argb[4 * i + 2] = src[4 * i + 1];
    out.argb[4 * i + 3] = src[4 * i + 2];
  }
  return {};
}

void Append(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(context);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (size > 0) out->insert(out->end(), bytes, bytes + size);
}

// stb_image_write counts in int: a row and the whole image must fit.
bool FitsWriter(std::uint32_t width, std::uint32_t height, int channels) {
  const std::uint64_t row = std::uint64_t{width} * static_cast<std::uint64_t>(channels) + 1;
  return width > 0 && height > 0 && std::uint64_t{width} * height <= kMaxImagePixels &&
         row * height < static_cast<std::uint64_t>(std::numeric_limits<int>::max());
}

}  // namespace

std::string DecodePng(std::span<const std::uint8_t> bytes, DecodedPixels& out) {
  // The size the header states is checked here: stb_image refuses a very
  // large one as an unknown image.
  if (bytes.size() >= 24 && std::memcmp(&bytes[12], "IHDR", 4) == 0) {
    const std::uint32_t width = Be32(&bytes[16]), height = Be32(&bytes[20]);
    if (width == 0 || height == 0 || std::uint64_t{width} * height > kMaxImagePixels)
      return "PNG size " + std::to_string(width) + "x" + std::to_string(height) + " is empty or too large";
  }
  std::string problem = Decode(bytes, "PNG", out);
  if (problem.empty()) out.fileHasAlpha = PngDeclaresAlpha(bytes);
  return problem;
}

std::string DecodeJpeg(std::span<const std::uint8_t> bytes, DecodedPixels& out) {
  std::string problem = Decode(bytes, "JPEG", out);
  // One wording for every unreadable JPEG, as on Linux.
  if (!problem.empty() && problem.rfind("not a readable", 0) != 0)
    problem = "not a readable JPEG image (" + problem + ")";
  out.fileHasAlpha = false;
  return problem;
}

std::string EncodePng(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height, bool argb,
                      std::vector<std::uint8_t>& out) {
  const int channels = argb ? 4 : 3;
  if (!FitsWriter(width, height, channels)) return "cannot encode PNG (image too large)";
  std::vector<std::uint8_t> rgba;
  const std::uint8_t* rows = pixels;
  if (argb) {
    const std::size_t count = std::size_t{width} * height;
    rgba.resize(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
      rgba[4 * i] = pixels[4 * i + 1];
      rgba[4 * i + 1] = pixels[4 * i + 2];
      rgba[4 * i + 2] = pixels[4 * i + 3];
      rgba[4 * i + 3] = pixels[4 * i];
    }
    rows = rgba.data();
  }
  out.clear();
  if (stbi_write_png_to_func(&Append, &out, static_cast<int>(width), static_cast<int>(height), channels, rows,
                             static_cast<int>(width) * channels) == 0)
    return "cannot encode PNG (out of memory)";
  return {};
}

std::string EncodeJpeg(const std::vector<std::uint8_t>& rgb, std::uint32_t width, std::uint32_t height, int quality,
                       std::vector<std::uint8_t>& out) {
  if (!FitsWriter(width, height, 3)) return "cannot encode JPEG (image too large)";
  out.clear();
  if (stbi_write_jpg_to_func(&Append, &out, static_cast<int>(width), static_cast<int>(height), 3, rgb.data(),
                             quality) == 0)
    return "cannot encode JPEG (out of memory)";
  return {};
}

}  // namespace hostmodel::detail
