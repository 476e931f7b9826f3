// Memory textures: the Windows bitmap file image that a texture block
// carries (54-byte header, 32-bit blue-green-red-alpha pixels, rows
// top-down when the height is negative), decoded by the link reader's
// checked decoder (livelink/block_decode.h) into an image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image.h"

namespace velmar {

// Decodes a bitmap from at most `bytes` readable bytes (the smaller of the
// block's capacity and its mapped size). Every size in the header is checked
// against those bytes before a pixel is read: false with the name of the
// field that fails ("magic", "width", "fileSize", ...) in *field and a
// reason in *error. Bottom-up rows (positive height) and 24-bit pixels are
// accepted too.
bool DecodeBitmap(const std::uint8_t* data, std::size_t bytes, Image* image, std::string* field, std::string* error);

}  // namespace velmar
