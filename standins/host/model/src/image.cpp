#include "hostmodel/image.h"

#include <png.h>
#include <stdio.h>  // jpeglib.h needs FILE and size_t declared first

#include <jpeglib.h>

#include <csetjmp>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "content_hash.h"

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

Result<Texture> DecodePng(std::span<const std::uint8_t> bytes, const std::string& name) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
    std::string msg = name + ": not a readable PNG image (" + image.message + ")";
    png_image_free(&image);
    return Result<Texture>::Fail(msg);
  }
  bool fileHasAlpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
  if (image.width == 0 || image.height == 0 ||
      static_cast<std::uint64_t>(image.width) * image.height > kMaxImagePixels) {
    png_image_free(&image);
    return Result<Texture>::Fail(name + ": PNG size " + std::to_string(image.width) + "x" +
                                 std::to_string(image.height) + " is empty or too large");
  }
  image.format = PNG_FORMAT_ARGB;
  Texture t;
  t.width = static_cast<std::int32_t>(image.width);
  t.height = static_cast<std::int32_t>(image.height);
  t.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, t.pixels.data(), 0, nullptr)) {
    std::string msg = name + ": damaged PNG image (" + image.message + ")";
    png_image_free(&image);
    return Result<Texture>::Fail(msg);
  }
  png_image_free(&image);
  t.name = name;
  FinishTexture(t);
  // An alpha channel that is opaque everywhere still is an alpha channel.
  t.hasAlphaChannel = t.hasAlphaChannel || fileHasAlpha;
  return Result<Texture>::Ok(std::move(t));
}

struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void JpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

void JpegSilence(j_common_ptr, int) {}

// The decoder reports errors by longjmp: nothing with a destructor may be
// created between setjmp and the end of decoding except the output buffer,
// which is declared by the caller.
bool DecodeJpegRaw(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& rgb, std::uint32_t& w,
                   std::uint32_t& h, char* message) {
  jpeg_decompress_struct cinfo{};
  JpegError err{};
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  err.mgr.emit_message = JpegSilence;
  if (setjmp(err.jump)) {
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.message);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  w = cinfo.output_width;
  h = cinfo.output_height;
  if (w == 0 || h == 0 || static_cast<std::uint64_t>(w) * h > kMaxImagePixels || cinfo.output_components != 3) {
    std::snprintf(message, JMSG_LENGTH_MAX, "size %ux%u is empty or too large", w, h);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  rgb.resize(static_cast<std::size_t>(w) * h * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = rgb.data() + static_cast<std::size_t>(cinfo.output_scanline) * w * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

Result<Texture> DecodeJpeg(std::span<const std::uint8_t> bytes, const std::string& name) {
  std::vector<std::uint8_t> rgb;
  std::uint32_t w = 0, h = 0;
  char message[JMSG_LENGTH_MAX] = {};
  if (!DecodeJpegRaw(bytes, rgb, w, h, message))
    return Result<Texture>::Fail(name + ": not a readable JPEG image (" + message + ")");
  Texture t;
  t.name = name;
  t.width = static_cast<std::int32_t>(w);
  t.height = static_cast<std::int32_t>(h);
  t.pixels.resize(static_cast<std::size_t>(w) * h * 4);
  for (std::size_t i = 0, n = static_cast<std::size_t>(w) * h; i < n; ++i) {
    t.pixels[4 * i] = 255;
    t.pixels[4 * i + 1] = rgb[3 * i];
    t.pixels[4 * i + 2] = rgb[3 * i + 1];
    t.pixels[4 * i + 3] = rgb[3 * i + 2];
  }
  FinishTexture(t);
  return Result<Texture>::Ok(std::move(t));
}

}  // namespace

Result<Texture> DecodeImage(std::span<const std::uint8_t> bytes, const std::string& name) {
  static constexpr std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() >= 8 && std::equal(kPng, kPng + 8, bytes.begin())) return DecodePng(bytes, name);
  if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) return DecodeJpeg(bytes, name);
  if (bytes.empty()) return Result<Texture>::Fail(name + ": image file is empty");
  return Result<Texture>::Fail(name + ": not a PNG or JPEG image");
}

Result<Texture> DecodeImageFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Result<Texture>::Fail(path + ": cannot open image file");
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return Result<Texture>::Fail(path + ": cannot read image file");
  auto r = DecodeImage(bytes, path);
  if (r) r->filePath = path;
  return r;
}

namespace {

// Fills `image` and returns the buffer to encode from (the texture's own
// pixels, or an RGB copy held in `rgb`); null when the texture is unusable.
const void* PrepareWrite(const Texture& texture, png_image& image, std::vector<std::uint8_t>& rgb) {
  if (texture.width <= 0 || texture.height <= 0 ||
      texture.pixels.size() != static_cast<std::size_t>(texture.width) * static_cast<std::size_t>(texture.height) * 4)
    return nullptr;
  image = png_image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(texture.width);
  image.height = static_cast<png_uint_32>(texture.height);
  image.format = PNG_FORMAT_ARGB;
  // An opaque image without an alpha channel is written as RGB, so that
  // reading it back reports no alpha channel either.
  bool opaque = !texture.hasAlphaChannel;
  for (std::size_t i = 0; opaque && i < texture.pixels.size(); i += 4) opaque = texture.pixels[i] == 255;
  if (!opaque) return texture.pixels.data();
  rgb.resize(texture.pixels.size() / 4 * 3);
  for (std::size_t i = 0, n = texture.pixels.size() / 4; i < n; ++i) {
    rgb[3 * i] = texture.pixels[4 * i + 1];
    rgb[3 * i + 1] = texture.pixels[4 * i + 2];
    rgb[3 * i + 2] = texture.pixels[4 * i + 3];
  }
  image.format = PNG_FORMAT_RGB;
  return rgb.data();
}

}  // namespace

Status WritePng(const Texture& texture, const std::string& path) {
  png_image image{};
  std::vector<std::uint8_t> rgb;
  const void* data = PrepareWrite(texture, image, rgb);
  if (!data) return Status::Fail(path + ": texture has no consistent pixel map to write");
  if (!png_image_write_to_file(&image, path.c_str(), 0, data, 0, nullptr)) {
    std::string msg = path + ": cannot write PNG (" + image.message + ")";
    png_image_free(&image);
    std::remove(path.c_str());
    return Status::Fail(msg);
  }
  return Status::Ok();
}

Result<std::vector<std::uint8_t>> EncodePng(const Texture& texture) {
  using R = Result<std::vector<std::uint8_t>>;
  png_image image{};
  std::vector<std::uint8_t> rgb;
  const void* data = PrepareWrite(texture, image, rgb);
  if (!data) return R::Fail("texture \"" + texture.name + "\" has no consistent pixel map to encode");
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, data, 0, nullptr)) {
    png_image_free(&image);
    return R::Fail("cannot encode PNG (" + std::string(image.message) + ")");
  }
  std::vector<std::uint8_t> out(size);
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, data, 0, nullptr)) {
    png_image_free(&image);
    return R::Fail("cannot encode PNG (" + std::string(image.message) + ")");
  }
  out.resize(size);
  return R::Ok(std::move(out));
}

namespace {

// Same longjmp discipline as decoding: the output buffer belongs to libjpeg
// until jpeg_finish_compress, and is copied out only on success.
bool EncodeJpegRaw(const std::vector<std::uint8_t>& rgb, std::uint32_t w, std::uint32_t h, int quality,
                   std::vector<std::uint8_t>& out, char* message) {
  jpeg_compress_struct cinfo{};
  JpegError err{};
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  err.mgr.emit_message = JpegSilence;
  if (setjmp(err.jump)) {
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.message);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = w;
  cinfo.image_height = h;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<std::uint8_t*>(rgb.data()) + static_cast<std::size_t>(cinfo.next_scanline) * w * 3;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  out.assign(buffer, buffer + size);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return true;
}

}  // namespace

Result<std::vector<std::uint8_t>> EncodeJpeg(const Texture& texture, int quality) {
  using R = Result<std::vector<std::uint8_t>>;
  if (texture.width <= 0 || texture.height <= 0 ||
      texture.pixels.size() != static_cast<std::size_t>(texture.width) * static_cast<std::size_t>(texture.height) * 4)
    return R::Fail("texture \"" + texture.name + "\" has no consistent pixel map to encode");
  if (quality < 1 || quality > 100) return R::Fail("JPEG quality " + std::to_string(quality) + " outside 1..100");
  std::vector<std::uint8_t> rgb(texture.pixels.size() / 4 * 3);
  for (std::size_t i = 0, n = texture.pixels.size() / 4; i < n; ++i) {
    rgb[3 * i] = texture.pixels[4 * i + 1];
    rgb[3 * i + 1] = texture.pixels[4 * i + 2];
    rgb[3 * i + 2] = texture.pixels[4 * i + 3];
  }
  std::vector<std::uint8_t> out;
  char message[JMSG_LENGTH_MAX] = {};
  if (!EncodeJpegRaw(rgb, static_cast<std::uint32_t>(texture.width), static_cast<std::uint32_t>(texture.height),
                     quality, out, message))
    return R::Fail(std::string("cannot encode JPEG (") + message + ")");
  return R::Ok(std::move(out));
}

Status WriteJpeg(const Texture& texture, const std::string& path, int quality) {
  auto bytes = EncodeJpeg(texture, quality);
  if (!bytes) return Status::Fail(path + ": " + bytes.error());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return Status::Fail(path + ": cannot create file");
  bool ok = std::fwrite(bytes->data(), 1, bytes->size(), f) == bytes->size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    std::remove(path.c_str());
    return Status::Fail(path + ": cannot write file");
  }
  return Status::Ok();
}

}  // namespace hostmodel
