// The image writer's encoders on Windows, where Debian packages no libpng or
// libjpeg for MinGW: stb_image_write. Its PNG files hold the same RGBA
// pixels as libpng's (the compressed bytes differ); its JPEG files are
// baseline 8-bit RGB like libjpeg's, of the same quality scale.
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include <limits>
#include <vector>

#include "../image_file.h"
#include "base/utf.h"
#include "base/windows_text.h"

namespace hostsdk::detail {

namespace {

struct Sink {
  std::FILE* file;
  bool ok = true;
};

void WriteBytes(void* context, void* data, int size) {
  auto* sink = static_cast<Sink*>(context);
  if (sink->ok && size > 0 && std::fwrite(data, 1, static_cast<std::size_t>(size), sink->file) != std::size_t(size))
    sink->ok = false;
}

// The map's pixels as stb takes them: R, G, B (and A) per pixel, rows top
// first. A map is at most 32768 pixels a side (GXCreateGSPixMap), so a row
// always fits stb's int stride.
std::vector<unsigned char> Interleaved(const GSPixMap& map, int channels) {
  const std::size_t count = std::size_t(map.width) * std::size_t(map.height);
  std::vector<unsigned char> out(count * std::size_t(channels));
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* argb = map.pixels.data() + i * 4;
    unsigned char* px = out.data() + i * std::size_t(channels);
    px[0] = argb[1];
    px[1] = argb[2];
    px[2] = argb[3];
    if (channels == 4) px[3] = argb[0];
  }
  return out;
}

}  // namespace

bool WritePng(const GSPixMap& map, std::FILE* file) {
  if (map.width <= 0 || map.height <= 0 || map.width > std::numeric_limits<int>::max() / 4) return false;
  const std::vector<unsigned char> rgba = Interleaved(map, 4);
  Sink sink{file};
  const int written = stbi_write_png_to_func(&WriteBytes, &sink, map.width, map.height, 4, rgba.data(), map.width * 4);
  return written != 0 && sink.ok;
}

bool WriteJpeg(const GSPixMap& map, std::FILE* file, int quality) {
  if (map.width <= 0 || map.height <= 0) return false;
  const std::vector<unsigned char> rgb = Interleaved(map, 3);
  Sink sink{file};
  const int written = stbi_write_jpg_to_func(&WriteBytes, &sink, map.width, map.height, 3, rgb.data(), quality);
  return written != 0 && sink.ok;
}

// Paths are UTF-8; the C runtime's narrow calls would take them in the ANSI
// code page.
std::FILE* OpenImageFile(const std::string& path) {
  return ::_wfopen(base::ToWide(base::FromUtf8(path)).c_str(), L"wb");
}

void RemoveImageFile(const std::string& path) { ::_wremove(base::ToWide(base::FromUtf8(path)).c_str()); }

}  // namespace hostsdk::detail
