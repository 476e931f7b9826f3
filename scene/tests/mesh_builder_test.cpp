// Building bodies from host bodies and finishing their meshes: the frame
// change, invisible and empty bodies, polygon normals and their fallbacks,
// unique corners and fans, smooth normals across convex pieces, texture
// coordinates, bad host data.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "mesh_test_model.h"
#include "scene/material_library.h"
#include "scene/mesh_builder.h"
#include "test_temp_dir.h"

using namespace scene;
using mesh_test::HostModel;
using mesh_test::OneElement;
using mesh_test::Piece;

namespace {

hostmodel::Body Square() {
  hostmodel::Body b;
  b.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  b.polygonNormals = {{0, 0, 1}};
  return b;
}

std::vector<float> Triple(const std::vector<float>& v, std::size_t k) { return {v[3 * k], v[3 * k + 1], v[3 * k + 2]}; }

MaterialRecord PlainRecord() {
  MaterialRecord r;
  r.key = kDefaultMaterialKey;
  return r;
}

// A builder over a one-element model of the given bodies; Finish finishes a
// mesh with a record without texture and fails the test if it does not.
struct Build {
  explicit Build(std::vector<hostmodel::Body> bodies) : model(OneElement(std::move(bodies))) {}
  std::unique_ptr<BodyInfo> Body(int b = 1) { return builder.BuildBody(model.Body(1, b)); }
  MeshInfo* Finish(const std::unique_ptr<BodyInfo>& body, std::size_t i) {
    EXPECT_TRUE(builder.FinishMesh(body->meshes.at(i).get(), &record));
    return body->meshes[i].get();
  }
  HostModel model;
  MeshBuilder builder{nullptr, nullptr, nullptr};
  const MaterialRecord record = PlainRecord();
};

}  // namespace

TEST(MeshBuilder, ConvertsTheFrameCountsBodiesAndRegistersMeshes) {
  hostmodel::Body b;
  b.closed = false;
  b.vertices = {{1, 2, 3}, {3, 4, 5}, {5, 6, 7}};
  b.polygonNormals = {{0, 0, 1}};
  b.polygons = {Piece({0, 1, 2})};
  auto invisible = Square();
  invisible.polygons = {Piece({0, 1, 2}), Piece({0, 2, 3})};
  for (auto& p : invisible.polygons) p.invisible = true;
  HostModel model(OneElement({b, invisible, hostmodel::Body{}}));

  MaterialGroups groups;
  DirtyKeySet dirty;
  MeshBuilder builder(nullptr, &groups, &dirty);
  builder.SetOptions(true, false, 0.5f);
  auto body = builder.BuildBody(model.Body());

  EXPECT_EQ(body->id, 1u);
  EXPECT_TRUE(body->doubleSided);
  EXPECT_EQ(body->vertexCount, 3);
  ASSERT_EQ(body->positions.size(), 3u);
  // Host z plus the offset is up.
  EXPECT_EQ((std::vector<float>{body->positions[0].x, body->positions[0].y, body->positions[0].z}),
            (std::vector<float>{1, 3.5f, 2}));
  EXPECT_EQ((std::vector<float>{body->centre[0], body->centre[1], body->centre[2]}), (std::vector<float>{3, 5.5f, 4}));

  ASSERT_EQ(body->meshes.size(), 1u);
  MeshInfo* mesh = body->meshes[0].get();
  EXPECT_EQ(mesh->body, body.get());
  EXPECT_TRUE(mesh->doubleSided);
  EXPECT_EQ(mesh->materialKey, kDefaultMaterialKey);
  EXPECT_TRUE(groups[kDefaultMaterialKey].contains(mesh));
  EXPECT_EQ(dirty.count(kDefaultMaterialKey), 1u);
  EXPECT_EQ(body->materialKeys.count(kDefaultMaterialKey), 1u);
  // Invisible polygons and an empty body give no meshes and no groups.
  auto hidden = builder.BuildBody(model.Body(1, 2));
  EXPECT_TRUE(hidden->meshes.empty());
  EXPECT_TRUE(hidden->materialKeys.empty());
  auto none = builder.BuildBody(model.Body(1, 3));
  EXPECT_EQ(none->vertexCount, 0);
  EXPECT_EQ((std::vector<float>{none->centre[0], none->centre[1]}), (std::vector<float>{0, 0}));
  EXPECT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[kDefaultMaterialKey].size(), 1u);

  // Without a record the mesh stays raw.
  EXPECT_FALSE(builder.FinishMesh(mesh, nullptr));
  EXPECT_FALSE(mesh->IsFinished());
  const MaterialRecord record = PlainRecord();
  ASSERT_TRUE(builder.FinishMesh(mesh, &record));
  EXPECT_TRUE(mesh->IsFinished());
  EXPECT_EQ(mesh->vertexCount, 3);
  EXPECT_EQ(mesh->indices, (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(Triple(mesh->positions, 1), (std::vector<float>{3, 5.5f, 4}));
  EXPECT_EQ(Triple(mesh->normals, 2), (std::vector<float>{0, 1, 0}));  // host +z is up
  EXPECT_EQ(mesh->texCoords, (std::vector<float>{0, 1, 0, 1, 0, 1}));  // no texture
  // A finished mesh is final; a missing mesh changes nothing; ids restart
  // with new options.
  EXPECT_FALSE(builder.FinishMesh(mesh, &record));
  EXPECT_FALSE(builder.FinishMesh(nullptr, &record));
  EXPECT_EQ(builder.BuildBody(model.Body())->id, 4u);
  builder.SetOptions(true, false, 0.5f);
  EXPECT_EQ(builder.BuildBody(model.Body())->id, 1u);
}

TEST(MeshBuilder, PolygonNormalsTakeTheirSignAndUnusableIndicesFallBackToTheGeometry) {
  auto b = Square();
  b.vertices.push_back({2, 0, 0});  // on the line through 0 and 1
  b.polygons = {
      Piece({0, 1, 2}, 1),      // (0, 0, 1): up
      Piece({0, 1, 2}, -1),     // negated: down
      Piece({0, 1, 2}, 0),      // no normal: counter-clockwise from +z, up
      Piece({0, 3, 2, 1}, 7),   // past the list: clockwise, down
      Piece({0, 1, 4}, 0),      // no area: zero
  };
  Build build({b});
  auto body = build.Body();
  ASSERT_EQ(body->meshes.size(), 1u);
  const PolygonData& data = *body->meshes[0]->polygons;
  ASSERT_EQ(data.flatNormals.size(), 5u);
  auto xyz = [](const Vec4f& n) { return std::vector<float>{n.x, n.y, n.z}; };
  EXPECT_EQ(xyz(data.flatNormals[0]), (std::vector<float>{0, 1, 0}));
  EXPECT_EQ(xyz(data.flatNormals[1]), (std::vector<float>{-0.0f, -1, -0.0f}));
  EXPECT_EQ(xyz(data.flatNormals[2]), (std::vector<float>{0, 1, 0}));
  EXPECT_EQ(xyz(data.flatNormals[3]), (std::vector<float>{0, -1, 0}));
  EXPECT_EQ(xyz(data.flatNormals[4]), (std::vector<float>{0, 0, 0}));

  MeshInfo* mesh = build.Finish(body, 0);
  // Every corner of piece 1 carries the negated normal.
  for (std::size_t k = 3; k < 6; ++k) EXPECT_FLOAT_EQ(mesh->normals[3 * k + 1], -1);
}

TEST(MeshBuilder, UniqueCornersPerPieceAndFansFromTheFirstCorner) {
  hostmodel::Body b;
  for (int i = 0; i < 9; ++i) b.vertices.push_back({double(i), double(i * i), 0});
  b.polygonNormals = {{0, 0, 1}};
  hostmodel::Polygon two;  // one polygon, two pieces sharing vertices 0 and 4
  two.convexPieces = {{0, 1, 2, 3, 4}, {0, 4, 5}};
  b.polygons = {two, Piece({6, 7, 6, 8})};  // vertex 6 twice in one piece
  Build build({b});
  auto body = build.Body();
  ASSERT_EQ(body->meshes.size(), 1u);
  const PolygonData& data = *body->meshes[0]->polygons;
  EXPECT_EQ(data.cornerTotal, 12);
  EXPECT_EQ(data.cornerCounts, (std::vector<std::int32_t>{5, 3, 4}));
  EXPECT_EQ(data.corners[5], MakeCornerKey(0, 1));

  MeshInfo* mesh = build.Finish(body, 0);
  EXPECT_EQ(mesh->vertexCount, 11);
  EXPECT_EQ(mesh->indexCount, 18);
  EXPECT_EQ(mesh->indices,
            (std::vector<std::uint32_t>{0, 1, 2, 0, 2, 3, 0, 3, 4, 5, 6, 7, 8, 9, 8, 8, 8, 10}));
  const std::uint32_t vertexOf[11] = {0, 1, 2, 3, 4, 0, 4, 5, 6, 7, 8};
  for (std::size_t k = 0; k < 11; ++k) {
    EXPECT_FLOAT_EQ(mesh->positions[3 * k], float(vertexOf[k])) << k;
    EXPECT_FLOAT_EQ(mesh->positions[3 * k + 2], float(vertexOf[k] * vertexOf[k])) << k;
  }
}

TEST(MeshBuilder, SmoothNormalsFollowTheCornerAcrossAllPiecesOfAPolygon) {
  hostmodel::Body b = Square();
  b.vertexNormals = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.6, 0.8, 0}};
  hostmodel::Polygon curved;
  curved.curved = true;
  curved.convexPieces = {{0, 1, 2}, {0, 2, 3}};
  b.polygons = {curved, Piece({0, 1, 2})};  // and a flat one of the same material
  Build build({b});
  auto body = build.Body();
  ASSERT_EQ(body->meshes.size(), 2u);  // smooth and flat kept apart
  EXPECT_FALSE(body->meshes[1]->smooth);
  MeshInfo* smooth = build.Finish(body, 0);
  ASSERT_TRUE(smooth->smooth);
  ASSERT_EQ(smooth->vertexCount, 6);
  // Unique corners: 0 1 2 | 0 2 3; each gets its own vertex's normal as
  // (x, z, y).
  const std::vector<std::vector<float>> expected = {{1, 0, 0}, {0, 0, 1}, {0, 1, 0},
                                                    {1, 0, 0}, {0, 1, 0}, {0.6f, 0, 0.8f}};
  for (std::size_t k = 0; k < 6; ++k) EXPECT_EQ(Triple(smooth->normals, k), expected[k]) << k;

  // Without the smoothing option the curved polygon is flat.
  build.builder.SetOptions(false, false, 0);
  auto flat = build.Body();
  ASSERT_EQ(flat->meshes.size(), 1u);
  const MeshInfo* mesh = build.Finish(flat, 0);
  EXPECT_FALSE(mesh->smooth);
  for (int k = 0; k < mesh->vertexCount; ++k) EXPECT_EQ(Triple(mesh->normals, std::size_t(k)), (std::vector<float>{0, 1, 0}));
}

TEST(MeshBuilder, TextureCoordinatesAreScaledByTheTextureSize) {
  hostmodel::Project project;
  hostmodel::Texture t;
  t.name = "tiles";
  t.width = t.height = 2;
  t.pixels.assign(16, 200);
  t.fingerprint = "tiles-fingerprint";
  t.xSize = 2.0;
  t.ySize = 4.0;
  project.textures.push_back(t);
  hostmodel::Body b = Square();
  b.texCoords = {{0, 0}, {1, 0}, {1, 2}, {0, 2}};
  hostmodel::Polygon p = Piece({0, 1, 2, 3});
  p.textureIndex = 1;
  p.mapping.projection = hostmodel::TextureProjection::Vertex;
  hostmodel::Polygon plain = Piece({0, 1, 2});
  b.polygons = {p, plain};
  hostmodel::Element e;
  e.guid = hostmodel::Guid::FromName("textured");
  e.bodies = {b};
  project.elements.push_back(e);
  HostModel model(project);

  const testsupport::TempDir folder;
  MaterialLibrary library;
  library.BeginExport(&model.Model(), (folder.path() / "out.dae").u16string());
  MeshBuilder builder(&library, nullptr, nullptr);
  auto body = builder.BuildBody(model.Body());
  ASSERT_EQ(body->meshes.size(), 2u);
  MeshInfo* textured = body->meshes[0].get();
  EXPECT_NE(textured->materialKey, kDefaultMaterialKey);
  const MaterialRecord* record = library.Find(textured->materialKey);
  ASSERT_TRUE(record->HasTexture());
  ASSERT_TRUE(builder.FinishMesh(textured, record));
  EXPECT_EQ(textured->texCoords, (std::vector<float>{0, 1, 0.5f, 1, 0.5f, 0.5f, 0, 0.5f}));

  // The plain polygon's mesh has no texture: (0, 1) everywhere, and so has
  // the textured mesh finished with a record that lost its texture.
  MeshInfo* plainMesh = body->meshes[1].get();
  ASSERT_TRUE(builder.FinishMesh(plainMesh, library.Find(plainMesh->materialKey)));
  EXPECT_EQ(plainMesh->texCoords, (std::vector<float>{0, 1, 0, 1, 0, 1}));
  auto again = builder.BuildBody(model.Body());
  const MaterialRecord bare = PlainRecord();
  ASSERT_TRUE(builder.FinishMesh(again->meshes[0].get(), &bare));
  EXPECT_EQ(again->meshes[0]->texCoords, (std::vector<float>{0, 1, 0, 1, 0, 1, 0, 1}));
  library.Reset();
}

TEST(MeshBuilder, BadHostDataDropsCornersAndPiecesWithoutReadingOutOfRange) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  hostmodel::Body b;
  // Vertex 4 is finite as a double but not once stored as a float.
  b.vertices = {{0, 0, 0}, {3, 0, 0}, {0, 3, 0}, {nan, 0, 0}, {0, 1e300, 0}};
  b.polygonNormals = {{0, 0, 1}, {nan, 0, 1}};
  b.vertexNormals = {{nan, 0, 0}, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}};
  hostmodel::Polygon noPieces;
  noPieces.convexPieces.clear();
  hostmodel::Polygon shortPieces;
  shortPieces.convexPieces = {{0, 1}, {}};
  hostmodel::Polygon curved = Piece({0, 1, 2});
  curved.curved = true;
  b.polygons = {
      Piece({0, 1, 2}),         // sound
      Piece({0, 7, 1, 2}),      // vertex 7 does not exist: that corner goes
      Piece({0, -5, 1}),        // two corners left: no area, dropped
      Piece({0, 1, 3}),         // the NaN vertex goes, and with it the piece
      Piece({4, 1, 2}),         // so does the one out of float range
      Piece({0, 1, 2}, 2),      // a NaN normal: taken from the corners
      noPieces, shortPieces,
      curved,                   // a NaN vertex normal: the polygon's normal
  };
  Build build({b});
  auto body = build.Body();
  EXPECT_FLOAT_EQ(body->centre[0], 1);  // the NaN vertex stays out
  EXPECT_FLOAT_EQ(body->centre[2], 1);
  ASSERT_EQ(body->meshes.size(), 2u);
  for (std::size_t m = 0; m < 2; ++m) {
    const MeshInfo* mesh = build.Finish(body, m);
    for (float f : mesh->positions) EXPECT_TRUE(std::isfinite(f));
    for (float f : mesh->normals) EXPECT_TRUE(std::isfinite(f));
    for (std::uint32_t i : mesh->indices) EXPECT_LT(i, std::uint32_t(mesh->vertexCount));
  }
  EXPECT_EQ(body->meshes[0]->indexCount, 9);  // polygons 1, 2 and 5
  EXPECT_EQ(body->meshes[1]->indexCount, 3);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(Triple(body->meshes[0]->normals, 6 + std::size_t(k)), (std::vector<float>{0, 1, 0}));
    EXPECT_EQ(Triple(body->meshes[1]->normals, std::size_t(k)), (std::vector<float>{0, 1, 0}));
  }
}
