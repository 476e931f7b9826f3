// Memory textures: a host pixel map packed as a Windows bitmap file image
// (54-byte header, 32-bit pixels blue, green, red, alpha, rows top-down),
// the form in which a texture travels to the renderer in a link block.
#pragma once

#include <cstdint>
#include <optional>

namespace scene {

// 54 + 4 * pixelCount, or nothing when that does not fit in 32 bits (the
// size fields of the bitmap and of link blocks are 32-bit).
std::optional<std::uint32_t> MemoryBitmapBytes(std::uint64_t pixelCount);

// Writes header and pixels of a width x height bitmap into out, which holds
// MemoryBitmapBytes(width * height) bytes. argb holds width * height host
// pixels (A, R, G, B); each is stored reversed, with alpha 255 unless
// keepAlpha. Width and height must be positive and their product must fit
// (checked by the caller with MemoryBitmapBytes).
void WriteMemoryBitmap(std::uint8_t* out, std::int32_t width, std::int32_t height, const std::uint8_t* argb,
                       bool keepAlpha);

}  // namespace scene
