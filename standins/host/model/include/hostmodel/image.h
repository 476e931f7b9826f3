// Image files to and from the host's A,R,G,B pixel maps: PNG and JPEG, with
// libpng and libjpeg-turbo on Linux, stb_image and stb_image_write on
// Windows (an 8-bit PNG reads to the same pixels on both; a JPEG's may
// differ by rounding). Decoding checks sizes before allocating and never
// trusts the file's header alone; a file is read only when it is a regular
// file of at most 2 GiB.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "hostmodel/model.h"
#include "hostmodel/result.h"

namespace hostmodel {

// Largest pixel map accepted (width * height), to refuse absurd headers.
inline constexpr std::uint64_t kMaxImagePixels = 64ull * 1024 * 1024;

// Decodes PNG or JPEG (by content, not extension) into a Texture: pixel type
// 1, A,R,G,B pixels, alpha flags from the image, fingerprint from the
// pixels. `name` names the source in error messages and the texture.
Result<Texture> DecodeImage(std::span<const std::uint8_t> bytes, const std::string& name);
Result<Texture> DecodeImageFile(const std::string& path);

// Content fingerprint of a pixel map: 32 hex digits from its size and bytes.
std::string PixelFingerprint(std::int32_t width, std::int32_t height, std::span<const std::uint8_t> argb);

// Writes the pixel map as PNG: RGBA, or RGB when the texture has no alpha
// channel and every pixel is opaque.
Status WritePng(const Texture& texture, const std::string& path);
// The same PNG as bytes in memory (for embedding).
Result<std::vector<std::uint8_t>> EncodePng(const Texture& texture);

// A 24-bit JPEG (alpha dropped) of the given quality, 1..100.
Result<std::vector<std::uint8_t>> EncodeJpeg(const Texture& texture, int quality = 90);
Status WriteJpeg(const Texture& texture, const std::string& path, int quality = 90);

}  // namespace hostmodel
