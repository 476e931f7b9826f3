// Writes what velmar holds as one binary glTF 2.0 file (.glb): one mesh and
// node per surface with triangles, its material (colour, texture as an
// embedded PNG, glass as blended alpha) and the followed camera, if any.
//
// glTF is right-handed with y up; the link's frame is left-handed with y up.
// The file therefore carries (x, y, -z) and each triangle's winding turned,
// so front faces stay counter-clockwise as glTF expects.
#pragma once

#include <string>

#include "scene.h"

namespace velmar {

struct GltfSummary {
  std::size_t meshes = 0;
  std::size_t vertices = 0;
  std::size_t triangles = 0;
  std::size_t images = 0;
};

// False with *error when the file cannot be written (nothing is left under
// that name then). *summary (optional) counts what was written.
bool WriteGlb(const Scene& scene, const std::string& path, std::string* error, GltfSummary* summary = nullptr);

}  // namespace velmar
