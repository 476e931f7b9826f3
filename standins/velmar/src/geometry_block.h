// A surface's geometry block as velmar keeps it: decoded by the link
// reader's checked decoder (livelink/block_decode.h), with the bounds of
// the vertices its triangles use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "scene.h"

namespace velmar {

// Copies a geometry block out of at most `bytes` readable bytes (the
// smaller of the record's capacity and the block's mapped size). The counts
// are checked before any array is touched (in 64 bits, so no count wraps),
// every index against V, positions for finite values. False with the failing
// field ("vertexCount", "indexCount", "texCoordSets", "indices",
// "positions") in *field and a reason in *error; *geometry is then untouched.
// Only the first texture-coordinate set is kept. Non-finite normals or
// texture coordinates become 0 and are counted in *repaired (optional).
bool ParseGeometryBlock(const std::uint8_t* data, std::size_t bytes, Geometry* geometry,
                        std::string* field, std::string* error, std::size_t* repaired = nullptr);

}  // namespace velmar
