// The two kinds of block a surface names, decoded from bytes another
// process wrote: its geometry block (V, I, K, then V positions, V normals,
// K sets of V texture coordinates and I indices) and its memory texture (a
// Windows bitmap file image). Every count and offset is checked against the
// readable bytes before an array is touched, in 64 bits so that no count a
// peer writes can wrap. Renderers (velmar) and the link's exactness checks
// decode through these, so a block means one thing to all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace CorvantaAPI {

struct GeometryArrays {
  std::vector<float> positions;        // three per vertex
  std::vector<float> normals;          // three per vertex
  std::vector<float> texCoords;        // two per vertex: the first set only
  std::vector<std::uint32_t> indices;  // three per triangle, each below the vertex count
};

// Copies a geometry block out of at most `bytes` readable bytes (the
// smaller of the record's capacity and the block's mapped size). False with
// the failing field ("geometryBlockCapacity", "vertexCount", "indexCount",
// "texCoordSets", "indices", "positions") in *field and a reason in *error;
// *out is then untouched. A point that is not finite is refused; normals or
// texture coordinates that are not finite become 0 and are counted in
// *repaired (optional).
bool DecodeGeometryBlock(const std::uint8_t* data, std::size_t bytes, GeometryArrays* out, std::string* field,
                         std::string* error, std::size_t* repaired = nullptr);

// The vertices of a decoded block that no index names and that a renderer
// reading the whole arrays (for bounds, culling or framing, as most do)
// would wrongly take for geometry: a position outside the box of the corners
// the indices name, or a normal that is neither of unit length nor exactly a
// named corner's. 0 when every vertex is geometry, and for a block whose
// indices name no vertex (nothing is drawn, nothing bounds it).
std::size_t CountStrayVertices(const GeometryArrays& g);

// A memory texture's pixels as 8-bit RGBA, rows top-down.
struct BitmapPixels {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;
};

// Bitmaps larger than this on either side are refused: a block that claims
// more is taken as damaged rather than allocated.
inline constexpr int kMaxBitmapSide = 16384;

// Decodes a bitmap from at most `bytes` readable bytes. Every size in the
// header is checked against those bytes before a pixel is read: false with
// the field that fails ("magic", "fileSize", "infoSize", "compression",
// "bitsPerPixel", "width", "height", "pixelOffset") in *field and a reason
// in *error. Bottom-up rows (positive height) and 24-bit pixels are
// accepted too.
bool DecodeBitmapBlock(const std::uint8_t* data, std::size_t bytes, BitmapPixels* out, std::string* field,
                       std::string* error);

}  // namespace CorvantaAPI
