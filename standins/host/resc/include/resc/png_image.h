// PNG reading and writing for icons and pictures of the host's user
// interface. Pixels are 8-bit RGBA, rows top to bottom.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace resc {

struct Image {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgba;  // width * height * 4
};

// Empty on failure (libpng error); never throws.
std::vector<std::uint8_t> EncodePng(const Image& image);
// False, with a reason in *error, for bytes that are no PNG, a cut-short
// stream or an image larger than 4096 x 4096.
bool DecodePng(const std::vector<std::uint8_t>& png, Image* out, std::string* error);

// Draws a simple icon: a shape filled with a colour and a glyph on top.
// shape: "circle", "square", "rounded"; glyph: "none", "play", "pause",
// "stop", "dot", "ring", "cross", "bar", "eye", "gear", "info", "arrow".
// Colours are "#RRGGBB". False with a reason on an unknown name or colour.
bool DrawIcon(int size, const std::string& shape, const std::string& color, const std::string& glyph,
              const std::string& accent, Image* out, std::string* error);

// Copies src over dst at (x, y) with alpha blending, clipped to dst.
void Blit(const Image& src, Image* dst, int x, int y);

}  // namespace resc
