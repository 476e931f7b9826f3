// Real model files as a user opens them in the host stand-in (OBJ with its
// material library and textures, glTF), built and finished by the mesh
// builder as the live link and the export do: the add-on's triangles per
// material are the ones assimp reports for the same file.
#include <gtest/gtest.h>

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "material_test_host.h"
#include "scene/material_library.h"
#include "scene/mesh_builder.h"

namespace {

// Triangles per material with at least one, sorted: the two sides name
// materials differently (assimp's default material, host variants), so the
// counts are compared as a multiset.
using Counts = std::vector<std::uint64_t>;

Counts Sorted(const std::map<std::uint64_t, std::uint64_t>& byMaterial) {
  Counts counts;
  for (const auto& [material, triangles] : byMaterial)
    if (triangles > 0) counts.push_back(triangles);
  std::sort(counts.begin(), counts.end());
  return counts;
}

Counts AssimpTriangles(const std::string& path) {
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(path, aiProcess_Triangulate);
  EXPECT_NE(scene, nullptr) << importer.GetErrorString();
  std::map<std::uint64_t, std::uint64_t> byMaterial;
  if (scene == nullptr) return {};
  // Each mesh of these files hangs in one node, so meshes are counted once.
  for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
    const aiMesh* mesh = scene->mMeshes[m];
    for (unsigned f = 0; f < mesh->mNumFaces; ++f)
      if (mesh->mFaces[f].mNumIndices == 3) ++byMaterial[mesh->mMaterialIndex];
  }
  return Sorted(byMaterial);
}

}  // namespace

// The host opens the file as a user does; the add-on reads it through the
// host's modeler interface and attribute calls.
class RealModels : public material_test::HostFixture {
 protected:
  void OpenFile(const std::string& path) {
    auto opened = host->OpenProject(path);
    ASSERT_TRUE(opened.ok()) << opened.error();
    Bind();
  }
  Counts AddonTriangles(bool optimize);
};

// What the add-on makes of the model: every body of every element built,
// every mesh finished with its material's record, front triangles counted
// (a back copy of an open body is the renderer's, not the model's).
Counts RealModels::AddonTriangles(bool optimize) {
  scene::MaterialLibrary library;
  library.BeginExport(&model, material_test::U16(temp.File("real.dae")));
  library.Refresh(1);
  scene::MaterialGroups groups;
  scene::MeshBuilder builder(&library, &groups, nullptr);
  builder.SetOptions(true, optimize, 0);
  std::vector<std::unique_ptr<scene::BodyInfo>> bodies;
  const int elements = model.GetElementNum();
  for (int e = 1; e <= elements; ++e) {
    ModelerAPI::Element element;
    model.GetElement(e, &element);
    for (int b = 1; b <= element.GetBodyNum(); ++b) {
      ModelerAPI::Body body;
      element.GetBody(b, &body);
      bodies.push_back(builder.BuildBody(body));
    }
  }
  std::map<std::uint64_t, std::uint64_t> byMaterial;
  for (auto& body : bodies) {
    for (auto& mesh : body->meshes) {
      const scene::MaterialRecord* record = library.Find(mesh->materialKey);
      EXPECT_NE(record, nullptr);
      EXPECT_TRUE(builder.FinishMesh(mesh.get(), record));
      byMaterial[mesh->materialKey] += static_cast<std::uint64_t>(mesh->indexCount) / 3;
    }
  }
  return Sorted(byMaterial);
}

TEST_F(RealModels, TheAddonsTrianglesPerMaterialAreAssimps) {
  for (const std::string& path : {std::string(CORV_HOST_SAMPLES) + "house.obj",
                                 std::string(CORV_HOST_TESTDATA) + "yard.obj",
                                 std::string(CORV_HOST_TESTDATA) + "sign.gltf"}) {
    SCOPED_TRACE(path);
    ASSERT_NO_FATAL_FAILURE(OpenFile(path));
    const Counts expected = AssimpTriangles(path);
    ASSERT_FALSE(expected.empty());
    // Welding merges vertices, never triangles.
    for (bool optimize : {false, true}) {
      const Counts built = AddonTriangles(optimize);
      EXPECT_EQ(built, expected) << "optimize " << optimize;
    }
  }
}
