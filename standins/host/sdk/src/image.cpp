#include "hostsdk/image.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "image_file.h"

namespace {
constexpr Int32 kMaxSide = 32768;
}

GSPixMapHandle GXCreateGSPixMap(Int32 width, Int32 height, Int32 pixelFormat) {
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || pixelFormat != GX_ARGB32) return nullptr;
  auto* map = new (std::nothrow) GSPixMap;
  if (map == nullptr) return nullptr;
  try {
    map->pixels.assign(std::size_t(width) * std::size_t(height) * 4, 0);
  } catch (const std::bad_alloc&) {
    delete map;
    return nullptr;
  }
  map->width = width;
  map->height = height;
  return map;
}

void* GXGetGSPixMapBaseAddr(GSPixMapHandle pixMap) { return pixMap != nullptr ? pixMap->pixels.data() : nullptr; }
Int32 GXGetGSPixMapWidth(GSPixMapHandle pixMap) { return pixMap != nullptr ? pixMap->width : 0; }
Int32 GXGetGSPixMapHeight(GSPixMapHandle pixMap) { return pixMap != nullptr ? pixMap->height : 0; }
void GXDeleteGSPixMap(GSPixMapHandle pixMap) { delete pixMap; }

namespace FTM {
TypeID FileTypeManager::SearchForMime(const char* mime) {
  if (mime == nullptr) return UnknownType;
  if (std::strcmp(mime, "image/png") == 0) return PngType;
  if (std::strcmp(mime, "image/jpeg") == 0 || std::strcmp(mime, "image/jpg") == 0) return JpegType;
  return UnknownType;
}
}  // namespace FTM

namespace GX {

GSErrCode Image::WriteToFile(const IO::Location& location, FTM::TypeID type, const ImageSaveOptions& options) const {
  if (pixMap_ == nullptr || location.IsEmpty()) return APIERR_BADPARS;
  if (type != FTM::PngType && type != FTM::JpegType) return APIERR_BADPARS;
  const std::string& path = location.Utf8Path();
  FILE* file = hostsdk::detail::OpenImageFile(path);
  if (file == nullptr) return APIERR_IOERROR;
  int quality = options.GetQuality() / 1000;
  quality = quality < 1 ? 1 : quality > 100 ? 100 : quality;
  bool ok = type == FTM::PngType ? hostsdk::detail::WritePng(*pixMap_, file)
                                 : hostsdk::detail::WriteJpeg(*pixMap_, file, quality);
  ok = (std::fflush(file) == 0) && ok;
  ok = (std::fclose(file) == 0) && ok;
  if (!ok) {
    hostsdk::detail::RemoveImageFile(path);  // a partial image is worse than none
    return APIERR_IOERROR;
  }
  return NoError;
}

}  // namespace GX
