// The renderer side's decoding of a geometry block with nothing to draw:
// a surface whose meshes were all removed keeps its block with zero
// indices (and possibly zero vertices). That is a valid, empty surface,
// and under UBSan the decode must not hand memcpy the null array of an
// empty vector.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
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

// Counts a peer wrote that no block of this size can hold are refused
// before anything is allocated for them, also where their byte sizes would
// pass 2^64 (many vertices times many coordinate sets) and, computed
// carelessly, wrap to a size the block seems to hold.
TEST(BlockDecodeTest, CountsTheBlockCannotHoldAreRefusedBeforeAnyAllocation) {
  struct Case {
    std::uint32_t vertices, indices, sets;
  };
  for (const Case c : {Case{0xFFFFFFFFu, 3, 0xFFFFFFFEu}, Case{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
                       Case{0x20000000u, 3, 0x40000000u}, Case{0xFFFFFFFFu, 3, 1}, Case{3, 0x7FFFFFFEu, 1}}) {
    SCOPED_TRACE(std::to_string(c.vertices) + " " + std::to_string(c.indices) + " " + std::to_string(c.sets));
    std::vector<std::uint8_t> bytes(4096, 0);
    const GeometryBlockHeader header{c.vertices, c.indices, c.sets};
    std::memcpy(bytes.data(), &header, sizeof header);
    GeometryArrays out;
    out.indices = {7};
    std::string field, error;
    EXPECT_FALSE(DecodeGeometryBlock(bytes.data(), bytes.size(), &out, &field, &error));
    EXPECT_TRUE(field == "vertexCount" || field == "indexCount") << field << ": " << error;
    EXPECT_EQ(out.indices, std::vector<std::uint32_t>{7}) << "a refused block leaves the arrays as they were";
  }
}
