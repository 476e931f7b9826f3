// Model round trips: a file goes through the model library into the host,
// and the add-on reads it back through its own view of the SDK. What it reads
// must be what the file holds, for the native project format and for an
// imported OBJ model with a texture file.
#include <cmath>

#include "hostmodel/import.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "hostsdk/requests.h"
#include "expected_dump.h"
#include "runtime_fixture.h"

namespace {

using hostrt_test::Expected;
using hostrt_test::HostWithAddon;
using nlohmann::json;

TEST_F(HostWithAddon, NativeProjectRoundTripReadsBackThroughTheAddon) {
  ASSERT_TRUE(host->OpenSampleProject().ok());
  ASSERT_EQ(probe->attach(), NoError);
  const json before = Dump();
  EXPECT_EQ(before, Expected(hostmodel::SampleBuilding()));
  probe->detach();

  const std::string path = temp.File("house.pln");
  ASSERT_TRUE(host->SaveProjectAs(path).ok());
  ASSERT_TRUE(host->CloseProject().ok());
  ASSERT_TRUE(host->OpenProject(path).ok());
  ASSERT_EQ(probe->attach(), NoError);
  const json after = Dump();
  // The saved file keeps every identity and value the add-on read.
  EXPECT_EQ(after, before);
  API_ProjectInfo info;
  ASSERT_EQ(probe->environment(APIEnv_ProjectID, &info, nullptr), NoError);
  EXPECT_FALSE(info.untitled);
  GS::UniString location;
  ASSERT_EQ(info.location.ToPath(&location), NoError);
  EXPECT_EQ(location.ToUtf8(), std::filesystem::path(path).lexically_normal().string());
}

TEST_F(HostWithAddon, ImportedObjReadsBackThroughTheAddon) {
  // The shipped house as OBJ, its brick texture named by its MTL.
  const std::string path = std::string(CORV_HOST_SAMPLES) + "house.obj";
  auto direct = hostmodel::ImportModel(path);
  ASSERT_TRUE(direct.ok()) << direct.error();
  ASSERT_TRUE(host->OpenProject(path).ok());
  ASSERT_EQ(probe->attach(), NoError);
  const json dump = Dump();
  EXPECT_EQ(dump, Expected(direct.value()));
  // The texture the MTL names arrives as pixels.
  ASSERT_EQ(dump["textures"].size(), 1u);
  // An imported model is an untitled project until saved.
  API_ProjectInfo info;
  ASSERT_EQ(probe->environment(APIEnv_ProjectID, &info, nullptr), NoError);
  EXPECT_TRUE(info.untitled);
}

TEST_F(HostWithAddon, ReadsOutOfRangeGiveEmptyObjectsNotCrashes) {
  ASSERT_TRUE(host->OpenSampleProject().ok());
  AttributeReader reader;
  ModelerAPI::Model model;
  EXPECT_EQ(model.GetElementNum(), 0) << "an unfilled model has no elements";
  ASSERT_EQ(EXPGetModel(host->WindowSight(), &model, &reader), NoError);
  ModelerAPI::Element element;
  model.GetElement(0, &element);
  EXPECT_TRUE(element.IsInvalid());
  model.GetElement(model.GetElementNum() + 1, &element);
  EXPECT_TRUE(element.IsInvalid());
  EXPECT_EQ(element.GetBodyNum(), 0);
  model.GetElement(1, &element);
  ASSERT_FALSE(element.IsInvalid());
  ModelerAPI::Body body;
  element.GetBody(-3, &body);
  EXPECT_EQ(body.GetVertexNum(), 0);
  element.GetBody(1, &body);
  ModelerAPI::Polygon polygon;
  body.GetPolygon(body.GetPolygonCount() + 1, &polygon);
  EXPECT_EQ(polygon.GetConvexPolygonNum(), 0);
  body.GetPolygon(1, &polygon);
  ModelerAPI::ConvexPolygon convex;
  polygon.GetConvexPolygon(1, &convex);
  EXPECT_EQ(convex.GetVertexIndex(0), 0);
  EXPECT_EQ(convex.GetVertexIndex(convex.GetVertexNum() + 1), 0);
  // Corners are numbered over all pieces: one past the last has no normal.
  Int32 corners = 0;
  for (Int32 c = 1; c <= polygon.GetConvexPolygonNum(); ++c) {
    polygon.GetConvexPolygon(c, &convex);
    corners += convex.GetVertexNum();
  }
  ModelerAPI::Vector normal{9, 9, 9};
  polygon.GetNormalVectorByVertex(corners + 1, &normal);
  EXPECT_EQ(normal.x, 0.0);
  EXPECT_EQ(normal.z, 0.0);
  ModelerAPI::Texture texture;
  model.GetTexture(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::MaterialIndex, 1), &texture);
  EXPECT_TRUE(texture.IsInvalid()) << "a material index is no texture index";
  std::vector<unsigned char> small(3);
  EXPECT_FALSE(texture.GetPixelMap(small.data(), small.size()) && texture.GetPixelMapSize() > 0);
  // A sight invalidated by closing the project gives no model any more.
  Modeler::SightPtr sight = host->WindowSight();
  ASSERT_TRUE(host->CloseProject().ok());
  EXPECT_TRUE(sight->IsSightInvalid());
  ModelerAPI::Model late;
  EXPECT_EQ(EXPGetModel(sight, &late, &reader), APIERR_BADID);
  EXPECT_EQ(EXPGetModel(Modeler::SightPtr(), &late, &reader), APIERR_BADPARS);
}

// A curved polygon in two convex pieces with a normal per vertex: the host
// numbers its corners over both pieces, so position 4 is the first corner
// of the second piece, and each corner's normal is the normal of the vertex
// it stands on (numbering within a piece would give the second piece the
// first piece's normals).
TEST_F(HostWithAddon, CornerNormalsOfACurvedPolygonCountAcrossItsPieces) {
  hostmodel::Project project;
  project.materials.resize(1);
  project.materials[0].name = "Skin";
  hostmodel::Element e;
  e.guid = hostmodel::Guid::FromName("curved");
  e.name = "Curved";
  hostmodel::Body body;
  body.closed = false;
  body.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0.2}, {0, 1, 0.2}};
  body.polygonNormals = {{0, 0, 1}};
  const double s = 1 / std::sqrt(2.0);
  body.vertexNormals = {{0, 0, 1}, {s, 0, s}, {0, s, s}, {-s, 0, s}};
  hostmodel::Polygon polygon;
  polygon.curved = true;
  polygon.materialIndex = 1;
  polygon.convexPieces = {{0, 1, 2}, {0, 2, 3}};
  body.polygons = {polygon};
  e.bodies = {body};
  project.elements = {e};
  const std::string file = temp.File("curved.pln");
  ASSERT_TRUE(hostmodel::SaveProjectFile(project, file).ok());
  ASSERT_TRUE(host->OpenProject(file).ok());
  ASSERT_EQ(probe->attach(), NoError);
  EXPECT_EQ(Dump(), Expected(project));
}

}  // namespace
