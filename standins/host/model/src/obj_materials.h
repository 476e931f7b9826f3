// The materials of an OBJ file for the direct reader (obj_reader.h): those
// its MTL libraries define and those it names without a definition, as
// assimp's OBJ import makes them. On Linux assimp itself reads them
// (src/posix/obj_materials.cpp); on Windows, where there is no assimp, the
// host's own reader of libraries does (src/win/obj_materials.cpp), for the
// statements whose treatment it reproduces, and declines the rest.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct aiScene;

namespace hostmodel::detail {

struct ObjMaterials {
  // Holds the materials alone: assimp's default material first, then
  // those of the libraries in the order they are defined, then the unknown
  // names in the order given.
  std::unique_ptr<aiScene> scene;
  // The material that faces before any material use are made of: the one
  // the libraries leave current (0, the default, when they define none).
  unsigned current = 0;
};

// libraries: the file's "mtllib" lines as written; unknown: material names
// the file uses that no library defines. Empty on success with *out
// filled, else why the direct reader cannot read the file.
std::string ReadObjMaterials(const std::string& objPath, const std::vector<std::string>& libraries,
                             const std::vector<std::string>& unknown, ObjMaterials* out);

}  // namespace hostmodel::detail
