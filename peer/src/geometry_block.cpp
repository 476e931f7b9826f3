#include "geometry_block.h"

#include <cmath>
#include <cstring>

#include "livelink/layout.h"

using CorvantaAPI::GeometryBlockHeader;

namespace velmar {

namespace {

bool Fail(std::string* field, std::string* error, const char* name, std::string reason) {
  *field = name;
  *error = std::move(reason);
  return false;
}

}  // namespace

bool ParseGeometryBlock(const std::uint8_t* data, std::size_t bytes, Geometry* geometry,
                        std::string* field, std::string* error, std::size_t* repaired) {
  if (data == nullptr || bytes < sizeof(GeometryBlockHeader))
    return Fail(field, error, "geometryBlockCapacity",
                "block of " + std::to_string(bytes) + " bytes cannot hold the counts");
  GeometryBlockHeader header;
  std::memcpy(&header, data, sizeof header);
  if (header.texCoordSets == 0) return Fail(field, error, "texCoordSets", "no texture-coordinate set");
  if (header.indexCount % 3 != 0)
    return Fail(field, error, "indexCount", std::to_string(header.indexCount) + " is not a multiple of 3");
  const CorvantaAPI::GeometryBlockLayout layout =
      CorvantaAPI::GeometryLayout(header.vertexCount, header.indexCount, header.texCoordSets);
  if (layout.totalBytes > bytes)
    return Fail(field, error, header.indexCount == 0 || layout.indices > bytes ? "vertexCount" : "indexCount",
                std::to_string(header.vertexCount) + " vertices, " + std::to_string(header.indexCount) +
                    " indices and " + std::to_string(header.texCoordSets) + " coordinate sets need " +
                    std::to_string(layout.totalBytes) + " bytes, the block holds " + std::to_string(bytes));
  const std::size_t v = header.vertexCount, n = header.indexCount;
  Geometry result;
  result.indices.resize(n);
  std::memcpy(result.indices.data(), data + layout.indices, n * 4);
  for (std::size_t i = 0; i < n; ++i)
    if (result.indices[i] >= v)
      return Fail(field, error, "indices",
                  "index " + std::to_string(i) + " (triangle " + std::to_string(i / 3) + ") is " +
                      std::to_string(result.indices[i]) + ", past the " + std::to_string(v) + " vertices");
  result.positions.resize(v * 3);
  std::memcpy(result.positions.data(), data + layout.positions, v * 12);
  for (std::size_t i = 0; i < v * 3; ++i)
    if (!std::isfinite(result.positions[i]))
      return Fail(field, error, "positions", "vertex " + std::to_string(i / 3) + " is not a finite point");
  result.normals.resize(v * 3);
  std::memcpy(result.normals.data(), data + layout.normals, v * 12);
  result.texCoords.resize(v * 2);
  std::memcpy(result.texCoords.data(), data + layout.texCoords, v * 8);
  std::size_t fixed = 0;
  for (float& x : result.normals)
    if (!std::isfinite(x)) x = 0, ++fixed;
  for (float& x : result.texCoords)
    if (!std::isfinite(x)) x = 0, ++fixed;
  if (repaired != nullptr) *repaired = fixed;
  result.bounds = UsedBounds(result);
  *geometry = std::move(result);
  return true;
}

}  // namespace velmar
