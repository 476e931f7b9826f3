// The records the export prepares for the document: one merged geometry per
// material and one marker node per body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace collada {

// One array's text, kept as the pieces it was formatted in, in order. It
// goes to the file piece by piece and is never joined: joining would copy
// the whole array once more, into memory touched for the first time.
class ArrayText {
 public:
  void Add(std::unique_ptr<char[]> text, std::size_t size) {
    size_ += size;
    pieces_.push_back({std::move(text), size});
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Calls write with each piece in order.
  template <typename Write>
  void ForEach(Write&& write) const {
    for (const Piece& piece : pieces_) write(std::string_view(piece.text.get(), piece.size));
  }
  std::string Joined() const {
    std::string text;
    text.reserve(size_);
    ForEach([&](std::string_view piece) { text.append(piece); });
    return text;
  }

 private:
  struct Piece {
    std::unique_ptr<char[]> text;
    std::size_t size = 0;
  };
  std::vector<Piece> pieces_;
  std::size_t size_ = 0;
};

// A stretch of a geometry's arrays read in place from one finished mesh:
// a geometry's merged arrays are its runs one after another, so a large
// model is formatted straight from its meshes instead of from a merged
// copy of them. Positions and normals are in the mesh builder's order (x,
// z + offset, y).
//
// The arrays may hold less than the counts promise (a damaged mesh): the
// missing values are zeros, never reads past the arrays. An index at or
// past vertexCount would name another mesh's vertex: it becomes the run's
// first vertex (unless clampIndices is false: a merged buffer's indices
// are taken as they are).
struct MeshRun {
  const float* positions = nullptr;  // 3 per vertex
  const float* normals = nullptr;    // 3 per vertex
  const float* texCoords = nullptr;  // 2 per vertex
  const std::uint32_t* indices = nullptr;
  // What each array holds, in values.
  std::size_t positionsHeld = 0, normalsHeld = 0, texCoordsHeld = 0, indicesHeld = 0;
  std::uint32_t vertexCount = 0;
  std::uint32_t indexCount = 0;
  std::uint32_t base = 0;        // the run's first vertex in the geometry, added to its indices
  std::uint32_t firstIndex = 0;  // the run's first index in the geometry
  // The back of a double-sided mesh: its triangles in reverse order of
  // corners, its normals negated.
  bool back = false;
  bool clampIndices = true;
  // Every vertex has the texture coordinate (0, 1), held in no array (a
  // mesh without texture).
  bool plainTexCoords = false;
  // When set, normals holds a few shared normals and each vertex's entry
  // is here (normalOfHeld of them; a vertex past it, or naming an entry
  // past normalsHeld, has zeros).
  const std::uint8_t* normalOf = nullptr;
  std::size_t normalOfHeld = 0;
};

// One material's triangles, merged, in one of two forms:
//   - runs: the meshes' own arrays, with vertexCount and indexCount their
//     totals; the arrays are formatted as the document is written (the
//     meshes must outlive the writing);
//   - vertexData: one merged buffer of the words V, I, K (K = 1), then 3V
//     float positions and 3V float normals, 2V float texture coordinates and
//     I uint32 indices; SerializeGeometry turns it into the four array texts
//     and frees it.
struct GeometryInfo {
  std::uint64_t materialKey = 0;
  std::vector<MeshRun> runs;
  std::unique_ptr<std::uint32_t[]> vertexData;
  std::size_t vertexDataWords = 0;
  std::uint32_t vertexCount = 0;
  std::uint32_t indexCount = 0;
  std::string id;    // the material's identifier text in this document
  std::string name;  // the material's name, XML-safe UTF-8
  ArrayText positions;
  ArrayText normals;
  ArrayText texcoords;
  ArrayText indices;
};

// Words a merged buffer of V vertices and I indices needs: 3 + 6V + 2V + I.
inline std::size_t MergedWords(std::size_t vertices, std::size_t indices) { return 3 + 8 * vertices + indices; }

// A marker node at the centre of one body.
struct NodeInfo {
  std::string name;    // "vn-0001"
  std::string matrix;  // "1 0 0 x 0 1 0 y 0 0 1 z 0 0 0 1"
};

}  // namespace collada
