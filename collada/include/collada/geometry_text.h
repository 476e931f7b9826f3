// The array texts of a merged geometry.
#pragma once

#include <string>
#include <vector>

#include "collada/geometry_info.h"

namespace collada {

// Fills geometry's counts and its four array texts from vertexData, then
// frees vertexData. Positions and normals go back to the host's order
// (stored (a, b, c) is written a c b), texture coordinates as (s, 1 - t);
// every number is followed by one space. id and name are set by the caller.
// A buffer shorter than its own counts say is treated as empty (V and I 0)
// rather than read past its end. Touches nothing but geometry, so
// geometries can be serialised in parallel.
void SerializeGeometry(GeometryInfo& geometry);

// SerializeGeometry for every geometry of the list, the arrays cut into
// pieces that are formatted in parallel (one large geometry keeps every
// thread busy) and joined into each text at its exact size. The texts are
// the ones SerializeGeometry gives one by one. Throws std::bad_alloc when
// memory runs out.
void SerializeGeometries(const std::vector<GeometryInfo*>& geometries);

}  // namespace collada
