#include "collada/geometry_text.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "collada/number_text.h"

namespace collada {
namespace {

// A string written through a raw pointer: grown ahead of each piece, cut to
// its length at the end.
class TextFill {
 public:
  TextFill(std::string& out, std::size_t estimate) : out_(out) {
    out_.clear();
    out_.resize(std::max<std::size_t>(estimate, 256));
    p_ = out_.data();
  }
  char* Room(std::size_t n) {
    std::size_t used = static_cast<std::size_t>(p_ - out_.data());
    if (out_.size() - used < n) {
      out_.resize(std::max(out_.size() * 2, used + n));
      p_ = out_.data() + used;
    }
    return p_;
  }
  void Done(char* end) { p_ = end; }
  void Finish() {
    out_.resize(static_cast<std::size_t>(p_ - out_.data()));
    out_.shrink_to_fit();
  }

 private:
  std::string& out_;
  char* p_;
};

inline float FloatAt(const std::uint32_t* words, std::size_t i) { return std::bit_cast<float>(words[i]); }

void WriteTriples(std::string& out, const std::uint32_t* words, std::size_t count) {
  TextFill fill(out, 36 * count);
  for (std::size_t v = 0; v < count; ++v) {
    char* p = fill.Room(3 * (kMaxFixedText + 1));
    const std::uint32_t* w = words + 3 * v;
    p = WriteFixed3(p, FloatAt(w, 0));
    *p++ = ' ';
    p = WriteFixed3(p, FloatAt(w, 2));
    *p++ = ' ';
    p = WriteFixed3(p, FloatAt(w, 1));
    *p++ = ' ';
    fill.Done(p);
  }
  fill.Finish();
}

}  // namespace

void SerializeGeometry(GeometryInfo& geometry) {
  const std::uint32_t* words = geometry.vertexData.get();
  std::size_t V = 0, I = 0;
  if (words != nullptr && geometry.vertexDataWords >= 3) {
    V = words[0];
    I = words[1];
    if (words[2] != 1 || V == 0 || MergedWords(V, I) > geometry.vertexDataWords) V = I = 0;
  }
  geometry.vertexCount = static_cast<std::uint32_t>(V);
  geometry.indexCount = static_cast<std::uint32_t>(I);

  const std::uint32_t* positions = nullptr;
  const std::uint32_t* normals = nullptr;
  const std::uint32_t* uv = nullptr;
  const std::uint32_t* indices = nullptr;
  if (V > 0) {
    positions = words + 3;
    normals = positions + 3 * V;
    uv = normals + 3 * V;
    indices = uv + 2 * V;
  }

  WriteTriples(geometry.positions, positions, V);
  WriteTriples(geometry.normals, normals, V);
  {
    TextFill fill(geometry.texcoords, 24 * V);
    for (std::size_t v = 0; v < V; ++v) {
      char* p = fill.Room(2 * (kMaxFixedText + 1));
      p = WriteFixed3(p, FloatAt(uv, 2 * v));
      *p++ = ' ';
      p = WriteFixed3(p, 1.0f - FloatAt(uv, 2 * v + 1));
      *p++ = ' ';
      fill.Done(p);
    }
    fill.Finish();
  }
  {
    TextFill fill(geometry.indices, 8 * I);
    for (std::size_t i = 0; i < I; ++i) {
      char* p = fill.Room(kMaxIntText + 1);
      p = WriteInt(p, static_cast<std::int32_t>(indices[i]));
      *p++ = ' ';
      fill.Done(p);
    }
    fill.Finish();
  }
  geometry.vertexData.reset();
  geometry.vertexDataWords = 0;
}

}  // namespace collada
