// Welding of a finished mesh: vertices whose position, normal and texture
// coordinate are equal byte for byte become one, every index pointing at
// the first of them; the kept vertices stay in their original order.
#pragma once

#include <cstddef>

namespace scene {

struct MeshInfo;

// Welds in linear expected time with a hash table from a vertex's
// attribute bytes to its first occurrence. Does nothing for a mesh with
// fewer than 2 indices. Returns the number of vertices merged away; the
// mesh is unchanged when that is 0.
std::size_t WeldMesh(MeshInfo& mesh);

}  // namespace scene
