#include "geometry_block.h"

#include "livelink/block_decode.h"

namespace velmar {

bool ParseGeometryBlock(const std::uint8_t* data, std::size_t bytes, Geometry* geometry,
                        std::string* field, std::string* error, std::size_t* repaired) {
  CorvantaAPI::GeometryArrays arrays;
  if (!CorvantaAPI::DecodeGeometryBlock(data, bytes, &arrays, field, error, repaired)) return false;
  Geometry result;
  result.positions = std::move(arrays.positions);
  result.normals = std::move(arrays.normals);
  result.texCoords = std::move(arrays.texCoords);
  result.indices = std::move(arrays.indices);
  result.bounds = UsedBounds(result);
  *geometry = std::move(result);
  return true;
}

}  // namespace velmar
