// A digest of a surface's triangles that depends on what is drawn, not on
// how the publisher laid it out: each triangle is taken as its three
// corners (position, normal, texture coordinate), so the order of the
// triangles, the order of the meshes merged into the block, the numbering
// and sharing of vertices and the corner a triangle starts at do not change
// it; the winding and every value do. Scripts compare it between updates
// and against a fresh link of the same model.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scene.h"

namespace velmar {

// 0 for no geometry; otherwise never 0. Indices past the vertices (which
// the block parser refuses) are left out rather than read.
std::uint64_t GeometryDigest(const Geometry* geometry);

// GeometryDigest of one surface's geometry as it changes: the triangles are
// summed per piece (scene.h), and a revision made from the one digested
// last re-sums only the pieces its changes touched. Any other geometry is
// summed whole.
class GeometryDigester {
 public:
  std::uint64_t Digest(const Geometry* geometry);

 private:
  std::uint64_t revision_ = 0;  // of the geometry the sums are of; 0 for none
  std::vector<std::uint64_t> sums_, triangles_;  // per piece
  // Each vertex's corner digest, for a digest of every piece: a vertex is
  // a corner of about six triangles, so digesting it once per triangle did
  // its work six times over. Kept between digests, so that a surface read
  // whole again reuses memory already in use.
  std::vector<std::uint64_t> corners_;
};

// Sixteen lower-case hex digits.
std::string DigestText(std::uint64_t digest);

}  // namespace velmar
