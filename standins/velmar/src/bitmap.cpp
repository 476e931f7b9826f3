#include "bitmap.h"

#include "livelink/block_decode.h"

namespace velmar {

static_assert(CorvantaAPI::kMaxBitmapSide <= kMaxImageSide, "a decodable bitmap is an image velmar holds");

bool DecodeBitmap(const std::uint8_t* data, std::size_t bytes, Image* image, std::string* field, std::string* error) {
  CorvantaAPI::BitmapPixels pixels;
  if (!CorvantaAPI::DecodeBitmapBlock(data, bytes, &pixels, field, error)) return false;
  image->width = pixels.width;
  image->height = pixels.height;
  image->rgba = std::move(pixels.rgba);
  return true;
}

}  // namespace velmar
