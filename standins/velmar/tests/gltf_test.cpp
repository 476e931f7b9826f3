// The glTF file velmar writes, read back by assimp: the same surfaces,
// vertex and triangle counts, the texture embedded, coordinates and winding
// turned into glTF's right-handed frame, the followed camera.
#include <gtest/gtest.h>

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <filesystem>

#include "gltf_writer.h"
#include "scene_builders.h"

using namespace velmar;
using namespace velmar_test;

namespace {

TEST(Gltf, ReadsBackInAssimpWithTheSameCountsFrameAndWinding) {
  Scene scene;
  Geometry box, wall, none;
  const float a[3] = {-0.5f, 0, 2}, b[3] = {0.5f, 1, 3};
  AddBox(box, a, b);
  AddWall(wall, -2, 0, 2, 3, 5);
  scene.surfaces.push_back(MakeSurface("Red", 0xFFFF0000, box));
  Surface textured = MakeSurface("Brick", 0x00FFFFFF, wall);
  textured.texture = Checker(16, 4, 0x00C800, 0xC8C800);
  scene.surfaces.push_back(textured);
  Surface glass = MakeSurface("Glass", 0xFF2850FF, wall);
  glass.surfaceType = kSurfaceGlass;
  glass.opacity = 0.4f;
  glass.texture = textured.texture;  // one image for both
  scene.surfaces.push_back(glass);
  scene.surfaces.push_back(MakeSurface("Empty", 0xFF00FF00, none));  // no triangles: no mesh
  scene.camera.followed = true;
  scene.camera.cameraToWorld = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 1.5f, -3, 1};
  scene.camera.fieldOfView = 50;

  const auto path = std::filesystem::temp_directory_path() / ("velmar-gltf-" + std::to_string(::getpid()) + ".glb");
  std::string error;
  GltfSummary summary;
  ASSERT_TRUE(WriteGlb(scene, path.string(), &error, &summary)) << error;
  EXPECT_EQ(summary.meshes, 3u);
  EXPECT_EQ(summary.images, 1u);

  Assimp::Importer importer;
  const aiScene* read = importer.ReadFile(path.string(), 0);
  std::filesystem::remove(path);
  ASSERT_NE(read, nullptr) << importer.GetErrorString();
  ASSERT_EQ(read->mNumMeshes, 3u);
  std::size_t vertices = 0, faces = 0, agree = 0;
  for (unsigned m = 0; m < read->mNumMeshes; ++m) {
    const aiMesh* mesh = read->mMeshes[m];
    vertices += mesh->mNumVertices;
    faces += mesh->mNumFaces;
    ASSERT_TRUE(mesh->HasNormals());
    ASSERT_TRUE(mesh->HasTextureCoords(0));
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
      const aiFace& face = mesh->mFaces[f];
      ASSERT_EQ(face.mNumIndices, 3u);
      const aiVector3D& p0 = mesh->mVertices[face.mIndices[0]];
      const aiVector3D e1 = mesh->mVertices[face.mIndices[1]] - p0;
      const aiVector3D e2 = mesh->mVertices[face.mIndices[2]] - p0;
      // Counter-clockwise front faces in a right-handed frame: the turn of
      // the corners agrees with the normal.
      if ((e1 ^ e2) * mesh->mNormals[face.mIndices[0]] > 0) ++agree;
    }
  }
  EXPECT_EQ(vertices, scene.VertexCount() - 0);
  EXPECT_EQ(faces, scene.TriangleCount());
  EXPECT_EQ(agree, faces);

  // The wall at z = 5 in the link's frame lies at z = -5 in the file.
  const aiMesh* wallMesh = read->mMeshes[1];
  EXPECT_FLOAT_EQ(wallMesh->mVertices[0].z, -5);
  EXPECT_FLOAT_EQ(wallMesh->mNormals[0].z, 1);  // faced -z, now +z

  // The texture is embedded once and used by both textured materials; the
  // glass is blended.
  EXPECT_EQ(read->mNumTextures, 1u);
  int textured_materials = 0;
  for (unsigned i = 0; i < read->mNumMaterials; ++i)
    if (read->mMaterials[i]->GetTextureCount(aiTextureType_DIFFUSE) > 0 ||
        read->mMaterials[i]->GetTextureCount(aiTextureType_BASE_COLOR) > 0)
      ++textured_materials;
  EXPECT_EQ(textured_materials, 2);
  const aiMaterial* glassMaterial = read->mMaterials[read->mMeshes[2]->mMaterialIndex];
  float opacity = 1;
  glassMaterial->Get(AI_MATKEY_OPACITY, opacity);
  EXPECT_NEAR(opacity, 0.4f, 1e-3);

  // The followed camera, at the eye, looking down the file's +z... that is
  // the link's -z turned: along the link's +z, the file's -z.
  ASSERT_EQ(read->mNumCameras, 1u);
  const aiNode* cameraNode = read->mRootNode->FindNode(read->mCameras[0]->mName);
  ASSERT_NE(cameraNode, nullptr);
  aiMatrix4x4 world = cameraNode->mTransformation;
  for (const aiNode* p = cameraNode->mParent; p != nullptr; p = p->mParent) world = p->mTransformation * world;
  EXPECT_NEAR(world.a4, 0, 1e-5);
  EXPECT_NEAR(world.b4, 1.5, 1e-5);
  EXPECT_NEAR(world.c4, 3, 1e-5);
  const aiVector3D look = aiMatrix3x3(world) * aiVector3D(0, 0, -1);
  EXPECT_NEAR(look.z, -1, 1e-5);
}

}  // namespace
