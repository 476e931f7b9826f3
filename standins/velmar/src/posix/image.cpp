#include "image.h"

#include <fcntl.h>
#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace velmar {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The file at path for reading, only when it is a regular file. Texture
// paths come from a link's shared memory: a FIFO named there would block
// fopen (and velmar's link thread) until some writer appeared, a device
// would feed the decoder without end.
File OpenRegular(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = "no such file " + path;
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = "not a regular file: " + path;
    return nullptr;
  }
  File file(::fdopen(fd, "rb"));
  if (!file) {
    ::close(fd);
    *error = "cannot read " + path;
  }
  return file;
}

bool ReadPng(std::FILE* file, Image* image, std::string* error) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_stdio(&png, file) == 0) {
    *error = std::string("not a readable PNG: ") + png.message;
    return false;
  }
  if (png.width == 0 || png.height == 0 || png.width > kMaxImageSide || png.height > kMaxImageSide) {
    png_image_free(&png);
    *error = "PNG of " + std::to_string(png.width) + " x " + std::to_string(png.height) + " pixels refused";
    return false;
  }
  png.format = PNG_FORMAT_RGBA;
  Image result;
  result.width = static_cast<int>(png.width);
  result.height = static_cast<int>(png.height);
  result.rgba.resize(PNG_IMAGE_SIZE(png));
  if (png_image_finish_read(&png, nullptr, result.rgba.data(), 0, nullptr) == 0) {
    *error = std::string("damaged PNG: ") + png.message;
    png_image_free(&png);
    return false;
  }
  *image = std::move(result);
  return true;
}

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr info) {
  auto* self = reinterpret_cast<JpegError*>(info->err);
  (*info->err->format_message)(info, self->message);
  std::longjmp(self->jump, 1);
}

// Decodes into rows the caller owns. No object with a destructor lives in
// this function's frame, so the error path's longjmp skips nothing.
bool DecodeJpeg(std::FILE* file, std::vector<std::uint8_t>* rgb, int* width, int* height, char* message) {
  jpeg_decompress_struct info;
  JpegError failure;
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = OnJpegError;
  failure.message[0] = 0;
  if (setjmp(failure.jump) != 0) {
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", failure.message);
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  if (info.output_width == 0 || info.output_height == 0 || info.output_width > static_cast<unsigned>(kMaxImageSide) ||
      info.output_height > static_cast<unsigned>(kMaxImageSide) || info.output_components != 3) {
    std::snprintf(message, JMSG_LENGTH_MAX, "JPEG of %u x %u pixels refused", info.output_width, info.output_height);
    jpeg_destroy_decompress(&info);
    return false;
  }
  *width = static_cast<int>(info.output_width);
  *height = static_cast<int>(info.output_height);
  rgb->resize(static_cast<std::size_t>(*width) * static_cast<std::size_t>(*height) * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = rgb->data() + static_cast<std::size_t>(info.output_scanline) * info.output_width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

bool ReadJpeg(std::FILE* file, Image* image, std::string* error) {
  std::vector<std::uint8_t> rgb;
  int width = 0, height = 0;
  char message[JMSG_LENGTH_MAX] = {};
  if (!DecodeJpeg(file, &rgb, &width, &height, message)) {
    *error = std::string("damaged JPEG: ") + message;
    return false;
  }
  Image result;
  result.width = width;
  result.height = height;
  result.rgba.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
  for (std::size_t i = 0, n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height); i < n; ++i) {
    std::memcpy(&result.rgba[i * 4], &rgb[i * 3], 3);
    result.rgba[i * 4 + 3] = 255;
  }
  *image = std::move(result);
  return true;
}

}  // namespace

bool ReadImageFile(const std::string& path, Image* image, std::string* error) {
  // One opening for the kind and the pixels: what was checked is read.
  const File file = OpenRegular(path, error);
  if (!file) return false;
  unsigned char magic[8] = {};
  if (std::fread(magic, 1, sizeof magic, file.get()) < 3) {
    *error = "too short for an image: " + path;
    return false;
  }
  std::rewind(file.get());
  if (png_sig_cmp(magic, 0, 8) == 0) return ReadPng(file.get(), image, error);
  if (magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) return ReadJpeg(file.get(), image, error);
  *error = "neither PNG nor JPEG: " + path;
  return false;
}

bool EncodePng(const Image& image, std::vector<std::uint8_t>* bytes, std::string* error) {
  if (image.empty() || image.rgba.size() != static_cast<std::size_t>(image.width) * image.height * 4) {
    *error = "no pixels to encode";
    return false;
  }
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_RGBA;
  png.flags = PNG_IMAGE_FLAG_FAST;  // pictures are written after every update: speed over size
  png_alloc_size_t size = 0;
  if (png_image_write_to_memory(&png, nullptr, &size, 0, image.rgba.data(), 0, nullptr) == 0) {
    *error = std::string("PNG encoding failed: ") + png.message;
    return false;
  }
  bytes->resize(size);
  if (png_image_write_to_memory(&png, bytes->data(), &size, 0, image.rgba.data(), 0, nullptr) == 0) {
    *error = std::string("PNG encoding failed: ") + png.message;
    return false;
  }
  bytes->resize(size);
  return true;
}

bool WritePng(const std::string& path, const Image& image, std::string* error) {
  std::vector<std::uint8_t> bytes;
  if (!EncodePng(image, &bytes, error)) return false;
  // Written beside the target and renamed, so a reader never sees half a picture.
  const std::string temporary = path + ".part";
  {
    File file(std::fopen(temporary.c_str(), "wb"));
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
      *error = "cannot write " + path;
      file.reset();
      std::remove(temporary.c_str());
      return false;
    }
  }
  std::error_code failure;
  std::filesystem::rename(temporary, path, failure);
  if (failure) {
    std::remove(temporary.c_str());
    *error = "cannot write " + path + ": " + failure.message();
    return false;
  }
  return true;
}

}  // namespace velmar
