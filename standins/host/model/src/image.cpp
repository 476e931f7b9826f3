#include "hostmodel/image.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

#include "content_hash.h"
#include "image_codec.h"
#include "native_path.h"

namespace hostmodel {

std::string PixelFingerprint(std::int32_t width, std::int32_t height, std::span<const std::uint8_t> argb) {
  detail::ContentHash h(0x7465787475726501ull);
  h.Mix64(static_cast<std::uint64_t>(static_cast<std::uint32_t>(width)));
  h.Mix64(static_cast<std::uint64_t>(static_cast<std::uint32_t>(height)));
  h.Bytes(argb.data(), argb.size());
  char buf[40];
  std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(h.High()),
                static_cast<unsigned long long>(h.Low()));
  return buf;
}

namespace {

// No image the host takes comes from a larger file: even kMaxImagePixels
// stored without compression fits.
constexpr std::uintmax_t kMaxImageFileBytes = std::uintmax_t{1} << 31;

void FinishTexture(Texture& t) {
  t.pixelType = 1;
  t.hasAlphaChannel = false;
  t.transparentPattern = false;
  for (std::size_t i = 0; i < t.pixels.size(); i += 4)
    if (t.pixels[i] != 255) {
      // Only an image whose alpha actually varies counts as a cut-out
      // pattern; a PNG with an all-opaque alpha channel is treated as opaque.
      t.hasAlphaChannel = true;
      t.transparentPattern = true;
      break;
    }
  t.fingerprint = PixelFingerprint(t.width, t.height, t.pixels);
}

Result<Texture> Decoded(const std::string& problem, detail::DecodedPixels&& pixels, const std::string& name) {
  if (!problem.empty()) return Result<Texture>::Fail(name + ": " + problem);
  Texture t;
  t.name = name;
  t.width = static_cast<std::int32_t>(pixels.width);
  t.height = static_cast<std::int32_t>(pixels.height);
  t.pixels = std::move(pixels.argb);
  FinishTexture(t);
  // An alpha channel that is opaque everywhere still is an alpha channel.
  t.hasAlphaChannel = t.hasAlphaChannel || pixels.fileHasAlpha;
  return Result<Texture>::Ok(std::move(t));
}

bool Consistent(const Texture& texture) {
  return texture.width > 0 && texture.height > 0 &&
         texture.pixels.size() ==
             static_cast<std::size_t>(texture.width) * static_cast<std::size_t>(texture.height) * 4;
}

// Writes the bytes as the file at path; a file that could not be written
// whole is removed.
Status WriteFileBytes(const std::vector<std::uint8_t>& bytes, const std::string& path) {
  const std::filesystem::path native = detail::NativePath(path);
  std::ofstream out(native, std::ios::binary | std::ios::trunc);
  if (!out) return Status::Fail(path + ": cannot create file");
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::error_code ignored;
    std::filesystem::remove(native, ignored);
    return Status::Fail(path + ": cannot write file");
  }
  return Status::Ok();
}

}  // namespace

Result<Texture> DecodeImage(std::span<const std::uint8_t> bytes, const std::string& name) {
  static constexpr std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  detail::DecodedPixels pixels;
  if (bytes.size() >= 8 && std::equal(kPng, kPng + 8, bytes.begin()))
    return Decoded(detail::DecodePng(bytes, pixels), std::move(pixels), name);
  if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF)
    return Decoded(detail::DecodeJpeg(bytes, pixels), std::move(pixels), name);
  if (bytes.empty()) return Result<Texture>::Fail(name + ": image file is empty");
  return Result<Texture>::Fail(name + ": not a PNG or JPEG image");
}

// A texture's path comes from a model file or a project, which anyone may
// have written: only a regular file of a bounded size is read (a device or
// a pipe could block the reader or never end).
Result<Texture> DecodeImageFile(const std::string& path) {
  const std::filesystem::path native = detail::NativePath(path);
  std::error_code failure;
  const auto status = std::filesystem::status(native, failure);
  if (failure || !std::filesystem::exists(status)) return Result<Texture>::Fail(path + ": cannot open image file");
  if (!std::filesystem::is_regular_file(status))
    return Result<Texture>::Fail(path + ": cannot open image file (not a regular file)");
  const std::uintmax_t size = std::filesystem::file_size(native, failure);
  if (failure) return Result<Texture>::Fail(path + ": cannot read image file");
  if (size > kMaxImageFileBytes) return Result<Texture>::Fail(path + ": image file is too large");
  std::ifstream in(native, std::ios::binary);
  if (!in) return Result<Texture>::Fail(path + ": cannot open image file");
  // Read no more than the size found, and one byte to tell a file that
  // grew meanwhile.
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size) + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) return Result<Texture>::Fail(path + ": cannot read image file");
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() > size) return Result<Texture>::Fail(path + ": image file changed while it was read");
  auto r = DecodeImage(bytes, path);
  if (r) r->filePath = path;
  return r;
}

Result<std::vector<std::uint8_t>> EncodePng(const Texture& texture) {
  using R = Result<std::vector<std::uint8_t>>;
  if (!Consistent(texture)) return R::Fail("texture \"" + texture.name + "\" has no consistent pixel map to encode");
  // An opaque image without an alpha channel is written as RGB, so that
  // reading it back reports no alpha channel either.
  bool opaque = !texture.hasAlphaChannel;
  for (std::size_t i = 0; opaque && i < texture.pixels.size(); i += 4) opaque = texture.pixels[i] == 255;
  std::vector<std::uint8_t> rgb;
  if (opaque) {
    rgb.resize(texture.pixels.size() / 4 * 3);
    for (std::size_t i = 0, n = texture.pixels.size() / 4; i < n; ++i) {
      rgb[3 * i] = texture.pixels[4 * i + 1];
      rgb[3 * i + 1] = texture.pixels[4 * i + 2];
      rgb[3 * i + 2] = texture.pixels[4 * i + 3];
    }
  }
  std::vector<std::uint8_t> out;
  std::string problem =
      detail::EncodePng(opaque ? rgb.data() : texture.pixels.data(), static_cast<std::uint32_t>(texture.width),
                        static_cast<std::uint32_t>(texture.height), !opaque, out);
  if (!problem.empty()) return R::Fail(problem);
  return R::Ok(std::move(out));
}

Status WritePng(const Texture& texture, const std::string& path) {
  if (!Consistent(texture)) return Status::Fail(path + ": texture has no consistent pixel map to write");
  auto bytes = EncodePng(texture);
  if (!bytes) return Status::Fail(path + ": " + bytes.error());
  return WriteFileBytes(bytes.value(), path);
}

Result<std::vector<std::uint8_t>> EncodeJpeg(const Texture& texture, int quality) {
  using R = Result<std::vector<std::uint8_t>>;
  if (!Consistent(texture)) return R::Fail("texture \"" + texture.name + "\" has no consistent pixel map to encode");
  if (quality < 1 || quality > 100) return R::Fail("JPEG quality " + std::to_string(quality) + " outside 1..100");
  std::vector<std::uint8_t> rgb(texture.pixels.size() / 4 * 3);
  for (std::size_t i = 0, n = texture.pixels.size() / 4; i < n; ++i) {
    rgb[3 * i] = texture.pixels[4 * i + 1];
    rgb[3 * i + 1] = texture.pixels[4 * i + 2];
    rgb[3 * i + 2] = texture.pixels[4 * i + 3];
  }
  std::vector<std::uint8_t> out;
  std::string problem = detail::EncodeJpeg(rgb, static_cast<std::uint32_t>(texture.width),
                                           static_cast<std::uint32_t>(texture.height), quality, out);
  if (!problem.empty()) return R::Fail(problem);
  return R::Ok(std::move(out));
}

Status WriteJpeg(const Texture& texture, const std::string& path, int quality) {
  auto bytes = EncodeJpeg(texture, quality);
  if (!bytes) return Status::Fail(path + ": " + bytes.error());
  return WriteFileBytes(bytes.value(), path);
}

}  // namespace hostmodel
