// The renderer side's decoding of a geometry block with nothing to draw:
// a surface whose meshes were all removed keeps its block with zero
// indices (and possibly zero vertices). That is a valid, empty surface,
// and under UBSan the decode must not hand memcpy the null array of an
// empty vector.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "livelink/block_decode.h"
#include "livelink/layout.h"

using namespace CorvantaAPI;

namespace {

std::vector<std::uint8_t> Block(std::uint32_t vertices, std::uint32_t indices) {
  const GeometryBlockLayout layout = GeometryLayout(vertices, indices, 1);
  std::vector<std::uint8_t> bytes(layout.totalBytes + 16, 0);  // slack behind the arrays, as blocks have
  const GeometryBlockHeader header{vertices, indices, 1};
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes;
}

}  // namespace

TEST(BlockDecodeTest, EmptySurfacesDecodeToEmptyArrays) {
  struct Case {
    std::uint32_t vertices, indices;
  };
  for (const Case c : {Case{0, 0}, Case{3, 0}}) {
    const std::vector<std::uint8_t> bytes = Block(c.vertices, c.indices);
    GeometryArrays out;
    std::string field, error;
    std::size_t repaired = 99;
    ASSERT_TRUE(DecodeGeometryBlock(bytes.data(), bytes.size(), &out, &field, &error, &repaired))
        << c.vertices << " vertices: " << field << ": " << error;
    EXPECT_EQ(out.positions.size(), 3u * c.vertices);
    EXPECT_EQ(out.texCoords.size(), 2u * c.vertices);
    EXPECT_TRUE(out.indices.empty());
    EXPECT_EQ(repaired, 0u);
  }
  // Zero vertices with indices still name vertices that do not exist.
  const std::vector<std::uint8_t> bytes = Block(0, 3);
  GeometryArrays out;
  std::string field, error;
  EXPECT_FALSE(DecodeGeometryBlock(bytes.data(), bytes.size(), &out, &field, &error));
  EXPECT_EQ(field, "indices");
}
