// The array texts of a merged geometry.
#pragma once

#include <string>

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

}  // namespace collada
