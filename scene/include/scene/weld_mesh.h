// Welding of a finished mesh: vertices whose position, normal and texture
// coordinate are equal byte for byte become one, every index pointing at
// the first of them; the kept vertices stay in their original order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scene {

struct MeshInfo;

// Welds in linear expected time with a hash table from a vertex's
// attribute bytes to its first occurrence. Does nothing for a mesh with
// fewer than 2 indices. Returns the number of vertices merged away; the
// mesh is unchanged when that is 0.
std::size_t WeldMesh(MeshInfo& mesh);

// The 64-bit welding key of the original description: (31·hP) xor (31·hN)
// xor (31·hT) of the 8-byte HashData digests of the position (12 bytes),
// normal (12 bytes) and texture coordinate (8 bytes). Its terms cancel
// whenever two of the digests are equal, so equal keys do not mean equal
// vertices.
std::uint64_t DescriptionWeldKey(const float* position, const float* normal, const float* texCoord);

// The original quadratic weld that compares vertices by that key alone,
// kept as the baseline of the welding benchmark and of the tests: where
// keys do not collide it gives exactly WeldMesh's result. Returns the
// number of vertices merged away.
std::size_t WeldMeshByKeysQuadratic(MeshInfo& mesh);

}  // namespace scene
