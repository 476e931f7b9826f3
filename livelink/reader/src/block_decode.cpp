#include "livelink/block_decode.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "livelink/layout.h"

namespace CorvantaAPI {

namespace {

bool Fail(std::string* field, std::string* error, const char* name, std::string reason) {
  *field = name;
  *error = std::move(reason);
  return false;
}

// Fills the array from the block. An empty array (a surface without
// triangles) copies nothing: its data() may be null, which memcpy must
// never be given, even for zero bytes.
template <typename T>
void CopyOut(std::vector<T>& array, const std::uint8_t* from) {
  if (!array.empty()) std::memcpy(array.data(), from, array.size() * sizeof(T));
}

}  // namespace

bool DecodeGeometryBlock(const std::uint8_t* data, std::size_t bytes, GeometryArrays* out, std::string* field,
                         std::string* error, std::size_t* repaired) {
  if (data == nullptr || bytes < sizeof(GeometryBlockHeader))
    return Fail(field, error, "geometryBlockCapacity",
                "block of " + std::to_string(bytes) + " bytes cannot hold the counts");
  GeometryBlockHeader header;
  std::memcpy(&header, data, sizeof header);  // one copy: the peer may rewrite the block meanwhile
  if (header.texCoordSets == 0) return Fail(field, error, "texCoordSets", "no texture-coordinate set");
  if (header.indexCount % 3 != 0)
    return Fail(field, error, "indexCount", std::to_string(header.indexCount) + " is not a multiple of 3");
  const GeometryBlockLayout layout = GeometryLayout(header.vertexCount, header.indexCount, header.texCoordSets);
  if (layout.totalBytes > bytes)
    return Fail(field, error, header.indexCount == 0 || layout.indices > bytes ? "vertexCount" : "indexCount",
                std::to_string(header.vertexCount) + " vertices, " + std::to_string(header.indexCount) +
                    " indices and " + std::to_string(header.texCoordSets) + " coordinate sets need " +
                    std::to_string(layout.totalBytes) + " bytes, the block holds " + std::to_string(bytes));
  const std::size_t v = header.vertexCount, n = header.indexCount;
  GeometryArrays result;
  result.indices.resize(n);
  CopyOut(result.indices, data + layout.indices);
  for (std::size_t i = 0; i < n; ++i)
    if (result.indices[i] >= v)
      return Fail(field, error, "indices",
                  "index " + std::to_string(i) + " (triangle " + std::to_string(i / 3) + ") is " +
                      std::to_string(result.indices[i]) + ", past the " + std::to_string(v) + " vertices");
  result.positions.resize(v * 3);
  CopyOut(result.positions, data + layout.positions);
  for (std::size_t i = 0; i < v * 3; ++i)
    if (!std::isfinite(result.positions[i]))
      return Fail(field, error, "positions", "vertex " + std::to_string(i / 3) + " is not a finite point");
  result.normals.resize(v * 3);
  CopyOut(result.normals, data + layout.normals);
  result.texCoords.resize(v * 2);
  CopyOut(result.texCoords, data + layout.texCoords);
  std::size_t fixed = 0;
  for (float& x : result.normals)
    if (!std::isfinite(x)) x = 0, ++fixed;
  for (float& x : result.texCoords)
    if (!std::isfinite(x)) x = 0, ++fixed;
  if (repaired != nullptr) *repaired = fixed;
  *out = std::move(result);
  return true;
}

std::size_t CountStrayVertices(const GeometryArrays& g) {
  const std::size_t v = g.positions.size() / 3;
  std::vector<char> named(v, 0);
  float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
  for (std::uint32_t i : g.indices) {
    if (i >= v || named[i]) continue;
    named[i] = 1;
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], g.positions[3 * std::size_t{i} + k]);
      hi[k] = std::max(hi[k], g.positions[3 * std::size_t{i} + k]);
    }
  }
  if (g.indices.empty()) return 0;
  // Named normals, looked at only for a vertex whose own is not of unit
  // length (a host may give such normals, and a copy of a corner keeps it).
  std::vector<std::array<float, 3>> namedNormals;
  auto normalOf = [&](std::size_t i) {
    return std::array<float, 3>{g.normals[3 * i], g.normals[3 * i + 1], g.normals[3 * i + 2]};
  };
  std::size_t stray = 0;
  for (std::size_t i = 0; i < v; ++i) {
    if (named[i]) continue;
    bool inside = true;
    for (int k = 0; k < 3; ++k) inside = inside && g.positions[3 * i + k] >= lo[k] && g.positions[3 * i + k] <= hi[k];
    const std::array<float, 3> n = normalOf(i);
    bool normal = std::fabs(std::sqrt(double(n[0]) * n[0] + double(n[1]) * n[1] + double(n[2]) * n[2]) - 1) <= 1e-3;
    if (inside && !normal) {
      if (namedNormals.empty()) {
        for (std::size_t j = 0; j < v; ++j)
          if (named[j]) namedNormals.push_back(normalOf(j));
        std::sort(namedNormals.begin(), namedNormals.end());
      }
      normal = std::binary_search(namedNormals.begin(), namedNormals.end(), n);
    }
    stray += !(inside && normal);
  }
  return stray;
}

bool DecodeBitmapBlock(const std::uint8_t* data, std::size_t bytes, BitmapPixels* out, std::string* field,
                       std::string* error) {
  if (data == nullptr || bytes < kBitmapHeaderBytes)
    return Fail(field, error, "fileSize", "block of " + std::to_string(bytes) + " bytes cannot hold a bitmap header");
  BitmapHeader header;
  std::memcpy(&header, data, sizeof header);  // one copy: the peer may rewrite the block meanwhile
  if (header.magic[0] != 'B' || header.magic[1] != 'M') return Fail(field, error, "magic", "not \"BM\"");
  if (header.fileSize > bytes)
    return Fail(field, error, "fileSize",
                "says " + std::to_string(header.fileSize) + " bytes, the block holds " + std::to_string(bytes));
  if (header.infoSize < kBitmapInfoBytes)
    return Fail(field, error, "infoSize", "header of " + std::to_string(header.infoSize) + " bytes");
  if (header.compression != 0) return Fail(field, error, "compression", "compressed pixels");
  if (header.bitsPerPixel != 32 && header.bitsPerPixel != 24)
    return Fail(field, error, "bitsPerPixel", std::to_string(header.bitsPerPixel) + " bits per pixel");
  const std::int64_t width = header.width;
  const std::int64_t signedHeight = header.height;
  const std::int64_t height = signedHeight < 0 ? -signedHeight : signedHeight;
  if (width <= 0 || width > kMaxBitmapSide) return Fail(field, error, "width", std::to_string(width) + " pixels");
  if (height == 0 || height > kMaxBitmapSide)
    return Fail(field, error, "height", std::to_string(signedHeight) + " pixels");
  const std::uint64_t pixelBytes = header.bitsPerPixel / 8;
  const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) * pixelBytes + 3) / 4 * 4;
  const std::uint64_t end = static_cast<std::uint64_t>(header.pixelOffset) + rowBytes * height;
  if (header.pixelOffset < kBitmapHeaderBytes || end > header.fileSize || end > bytes)
    return Fail(field, error, "pixelOffset",
                "pixels at " + std::to_string(header.pixelOffset) + " of " + std::to_string(rowBytes * height) +
                    " bytes do not fit in " + std::to_string(std::min<std::uint64_t>(header.fileSize, bytes)) +
                    " bytes");
  BitmapPixels result;
  result.width = static_cast<int>(width);
  result.height = static_cast<int>(height);
  result.rgba.resize(static_cast<std::size_t>(width * height * 4));
  const bool topDown = signedHeight < 0;
  for (std::int64_t y = 0; y < height; ++y) {
    const std::uint8_t* row =
        data + header.pixelOffset + rowBytes * static_cast<std::uint64_t>(topDown ? y : height - 1 - y);
    std::uint8_t* pixel = result.rgba.data() + static_cast<std::size_t>(y * width * 4);
    for (std::int64_t x = 0; x < width; ++x, row += pixelBytes, pixel += 4) {
      pixel[0] = row[2];
      pixel[1] = row[1];
      pixel[2] = row[0];
      pixel[3] = pixelBytes == 4 ? row[3] : 255;
    }
  }
  *out = std::move(result);
  return true;
}

}  // namespace CorvantaAPI
