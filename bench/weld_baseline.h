// The weld the mesh builder used before its hash table: every vertex is
// compared with every later one by a 64-bit key, (31·hP) xor (31·hN) xor
// (31·hT) of the 8-byte HashData digests of its position (12 bytes), normal
// (12 bytes) and texture coordinate (8 bytes). It is quadratic, and its key
// terms cancel whenever two of the digests are equal, so equal keys do not
// mean equal vertices. The welding benchmark measures scene::WeldMesh
// against it, and the tests check that both agree where keys do not collide.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scene {
struct MeshInfo;
}  // namespace scene

namespace weld_baseline {

// The key of one vertex (see above).
std::uint64_t WeldKey(const float* position, const float* normal, const float* texCoord);

// Welds by keys alone, keeping the first vertex of each key in order and
// renumbering the indices. Returns the number of vertices merged away; the
// mesh is unchanged when that is 0 or when it has fewer than 2 indices or
// arrays shorter than its vertex count.
std::size_t WeldByKeysQuadratic(scene::MeshInfo& mesh);

}  // namespace weld_baseline
