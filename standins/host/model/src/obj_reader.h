// A direct reader for Wavefront OBJ files, for the importer's sake: large
// models open several times faster than through assimp's OBJ importer and
// its post-processing, with the same result.
//
// It hands back the scene that assimp would hand back for the same file
// after the importer's steps (joined identical vertices, degenerate faces
// removed), numbers parsed with assimp's own arithmetic, so that the host
// model built from it is the same model. Materials come from
// obj_materials.h: on Linux assimp itself reads the file's MTL libraries
// through a stand-in of the OBJ file that holds only their names; on
// Windows the host's own reader of libraries does.
//
// It follows assimp's own bookkeeping of objects, groups, meshes and
// materials (a group always starts an object, a material use starts a mesh
// only when the last one has faces in another material, unknown material
// names become materials, faces without normals or texture coordinates in
// a mesh that has them get zero ones, and zero normals make assimp drop the
// mesh's normals). Lines and points are counted, not kept: the host leaves
// them out.
//
// A file that uses anything whose treatment by assimp this reader does not
// reproduce (free-form geometry, continued lines, tabs, an object named
// again, degenerate faces, values that assimp's tolerances would join, ...)
// is declined, and the caller reads it through assimp as before.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct aiScene;

namespace hostmodel::detail {

// Owns a scene made by the reader (its faces share index pools that
// aiScene's own destructor must not free).
class DirectScene {
 public:
  DirectScene();
  ~DirectScene();
  DirectScene(const DirectScene&) = delete;
  DirectScene& operator=(const DirectScene&) = delete;
  const aiScene* scene() const { return scene_; }
  // Line segments and points the file holds: not in the scene, which
  // holds its polygons only.
  std::uint64_t lines() const { return lines_; }
  std::uint64_t points() const { return points_; }
  // Frees mesh m (its arrays and index pool) once whoever reads the scene
  // is done with it; the scene then holds no mesh at m. Calls for distinct
  // meshes may run on parallel threads. An index past the meshes is ignored.
  void ReleaseMesh(unsigned m);

 private:
  friend class ObjReader;
  aiScene* scene_ = nullptr;
  std::vector<std::unique_ptr<unsigned[]>> pools_;
  std::uint64_t lines_ = 0, points_ = 0;
  // Frees what the reader held while the caller goes on with the scene;
  // joined first when the scene goes.
  std::jthread releaser_;
};

// The scene of the OBJ file at path, or null with *declined saying why the
// file is left to assimp. Throws only on memory exhaustion. A large file's
// text is read in parts on several threads, with the same result; parts > 0
// asks for that many parts whatever the file's size (1: one thread).
// ownMaterials: the libraries are read by the host's own reader
// (mtl_reader.h) rather than by the platform's (obj_materials.h).
std::unique_ptr<DirectScene> ReadObj(const std::string& path, std::string* declined, int parts = 0,
                                     bool ownMaterials = false);

}  // namespace hostmodel::detail
