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

#include "scene.h"

namespace velmar {

// 0 for no geometry; otherwise never 0. Indices past the vertices (which
// the block parser refuses) are left out rather than read. The sum of the
// pieces' shares when they cover the triangles (the readers keep them so,
// and an edit re-sums only the pieces it touched); otherwise summed anew.
std::uint64_t GeometryDigest(const Geometry* geometry);

// The parts of the digest, for the pieces' summaries (scene.h): the digest
// of vertex v as a corner (position, and normal and texture coordinate when
// g has them), and a triangle's share from its corners' digests in order.
std::uint64_t CornerDigest(const Geometry& g, std::size_t v, bool normals, bool coords);
std::uint64_t TriangleDigest(std::uint64_t a, std::uint64_t b, std::uint64_t c);

// Sixteen lower-case hex digits.
std::string DigestText(std::uint64_t digest);

}  // namespace velmar
