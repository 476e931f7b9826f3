// The canonical form (canonical_scene.h) as bytes, the same on every
// platform, so that what two renderers hold can be compared across
// processes and machines: a renderer writes its form to a file, another
// reads it back and compares.
//
// Little-endian throughout, no padding:
//   "CVCS" u32 version (1) u32 surfaceCount, then per surface:
//   name (u32 units, UTF-16LE units), i32 surfaceType, u32 colour,
//   8 × f32 floats, u8 textured, texturePath (u32 units, UTF-16LE units),
//   u64 textureDigest, u32 triangleCount, triangleCount × 3 corners of
//   8 × f32 (position, normal, texture coordinate).
// Floats are written as their bits. Only what the comparison looks at is
// kept: not the slots, record ids, change count or problems.
#pragma once

#include <string>

#include "livelink/canonical_scene.h"

namespace CorvantaAPI {

std::string EncodeCanonicalScene(const CanonicalScene& scene);

// Reads what EncodeCanonicalScene wrote. The bytes come from a file another
// program wrote: every count is checked against what is left, and trailing
// bytes are refused. False with *error saying where it failed.
bool DecodeCanonicalScene(const std::string& bytes, CanonicalScene* scene, std::string* error);

}  // namespace CorvantaAPI
