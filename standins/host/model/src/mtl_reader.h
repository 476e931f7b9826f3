// The host's own reader of an OBJ file's MTL libraries, making the materials
// assimp's OBJ import makes (assimp's default material first, each
// library's materials in the order they are defined, a name defined again
// changing the material it named first, unknown names as default
// materials, each property with assimp's key, type and value: the ones the
// import walk reads and those beside them). It reads the statements whose
// treatment it reproduces and declines a file with any other, so that the
// import refuses such a file, saying why, rather than make other materials
// than assimp does.
//
// The Windows build reads every OBJ file's materials with it (there is no
// assimp); on Linux assimp reads them, and the tests compare the two.
#pragma once

#include "obj_materials.h"

namespace hostmodel::detail {

// As ReadObjMaterials (obj_materials.h).
std::string ReadMaterialLibraries(const std::string& objPath, const std::vector<std::string>& libraries,
                                  const std::vector<std::string>& unknown, ObjMaterials* out);

}  // namespace hostmodel::detail
