// The array texts of a merged geometry: positions and normals go back to the
// host's order (stored (a, b, c) is written a c b), texture coordinates as
// (s, 1 - t), indices as "%d"; every number is followed by one space.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "collada/geometry_info.h"
#include "collada/output_file.h"

namespace collada {

enum class GeometryArray { kPositions, kNormals, kTexcoords, kIndices };

// Fills geometry's counts and its four array texts from vertexData, then
// frees vertexData. id and name are set by the caller. A buffer shorter than
// its own counts say is treated as empty (V and I 0) rather than read past
// its end. The arrays are cut into pieces formatted in parallel and joined
// in order. Throws std::bad_alloc when memory runs out.
void SerializeGeometry(GeometryInfo& geometry);

// Writes geometries' arrays into a document as it goes: a geometry with
// runs is formatted from its meshes while it is written, so the text of a
// large model never exists whole in memory (nor does a merged copy of its
// meshes); a geometry without runs writes the texts SerializeGeometry made.
// One per document: its buffers serve every array.
class ArrayWriter {
 public:
  ArrayWriter() = default;
  ArrayWriter(const ArrayWriter&) = delete;
  ArrayWriter& operator=(const ArrayWriter&) = delete;

  // The text of one array of geometry, the same bytes SerializeGeometry
  // gives for the same values. Pieces of the array are formatted in
  // parallel, a batch at a time, while the batch before goes to out. After
  // out failed, nothing more is formatted. Throws std::bad_alloc when
  // memory runs out.
  void Write(OutputFile& out, const GeometryInfo& geometry, GeometryArray array);

 private:
  struct Slot {
    std::unique_ptr<char[]> text;
    std::size_t size = 0;
  };
  std::vector<Slot> slots_;  // two batches: one formatted while the other is written
};

}  // namespace collada
