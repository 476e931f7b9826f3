// Model round trips: a file goes through the model library into the host,
// and the add-on reads it back through its own view of the SDK. What it reads
// must be what the file holds, for the native project format and for an
// imported OBJ model with a texture file.
#include <cmath>
#include <fstream>

#include "hostmodel/image.h"
#include "hostmodel/import.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "hostsdk/requests.h"
#include "runtime_fixture.h"

namespace {

using hostrt_test::HostWithAddon;
using nlohmann::json;

void ExpectNear3(const json& j, double x, double y, double z, const std::string& where) {
  ASSERT_EQ(j.size(), 3u) << where;
  EXPECT_NEAR(j[0].get<double>(), x, 1e-9) << where;
  EXPECT_NEAR(j[1].get<double>(), y, 1e-9) << where;
  EXPECT_NEAR(j[2].get<double>(), z, 1e-9) << where;
}

// Everything the add-on read must equal the project the model library
// loads from the same file.
void ExpectDumpMatches(const json& dump, const hostmodel::Project& p) {
  ASSERT_EQ(dump["elements"].size(), p.elements.size());
  for (std::size_t i = 0; i < p.elements.size(); ++i) {
    const hostmodel::Element& e = p.elements[i];
    const json& je = dump["elements"][i];
    const std::string where = "element " + std::to_string(i + 1);
    EXPECT_EQ(je["guid"], e.guid.ToString()) << where;
    EXPECT_EQ(je["genId"], e.genId) << where;
    ASSERT_EQ(je["bodies"].size(), e.bodies.size()) << where;
    for (std::size_t b = 0; b < e.bodies.size(); ++b) {
      const hostmodel::Body& body = e.bodies[b];
      const json& jb = je["bodies"][b];
      const std::string bw = where + " body " + std::to_string(b + 1);
      EXPECT_EQ(jb["closed"], body.closed) << bw;
      ASSERT_EQ(jb["vertices"].size(), body.vertices.size()) << bw;
      for (std::size_t v = 0; v < body.vertices.size(); ++v) {
        ExpectNear3(jb["vertices"][v], body.vertices[v].x, body.vertices[v].y, body.vertices[v].z, bw);
      }
      ASSERT_EQ(jb["normals"].size(), body.polygonNormals.size()) << bw;
      ASSERT_EQ(jb["polygons"].size(), body.polygons.size()) << bw;
      for (std::size_t k = 0; k < body.polygons.size(); ++k) {
        const hostmodel::Polygon& poly = body.polygons[k];
        const json& jp = jb["polygons"][k];
        const std::string pw = bw + " polygon " + std::to_string(k + 1);
        EXPECT_EQ(jp["invisible"], poly.invisible) << pw;
        EXPECT_EQ(jp["curved"], poly.curved) << pw;
        EXPECT_EQ(jp["material"], poly.materialIndex) << pw;
        EXPECT_EQ(jp["normalIndex"], poly.normalIndex) << pw;
        EXPECT_EQ(jp["hasTexture"], poly.textureIndex != 0) << pw;
        ASSERT_EQ(jp["pieces"].size(), poly.convexPieces.size()) << pw;
        std::size_t corner = 0;
        for (std::size_t c = 0; c < poly.convexPieces.size(); ++c) {
          const auto& piece = poly.convexPieces[c];
          ASSERT_EQ(jp["pieces"][c].size(), piece.size()) << pw;
          for (std::size_t m = 0; m < piece.size(); ++m, ++corner) {
            // The modeler interface counts vertices from 1.
            EXPECT_EQ(jp["pieces"][c][m].get<int>(), piece[m] + 1) << pw;
            const hostmodel::Vec3 n = hostmodel::VertexNormal(body, poly, piece[m]);
            ExpectNear3(jp["cornerNormals"][corner], n.x, n.y, n.z, pw + " corner normal");
          }
        }
      }
    }
  }
  ASSERT_EQ(dump["textures"].size(), p.textures.size());
  for (std::size_t t = 0; t < p.textures.size(); ++t) {
    const hostmodel::Texture& tex = p.textures[t];
    const json& jt = dump["textures"][t];
    EXPECT_EQ(jt["width"], tex.width);
    EXPECT_EQ(jt["height"], tex.height);
    EXPECT_EQ(jt["pixels"].get<std::int64_t>(), std::int64_t(tex.width) * tex.height);
    unsigned long long sum = 0;
    for (std::uint8_t byte : tex.pixels) sum = sum * 31 + byte;
    EXPECT_EQ(jt["pixelSum"].get<unsigned long long>(), sum) << "texture " << t + 1;
    EXPECT_EQ(jt["alpha"], tex.hasAlphaChannel);
    EXPECT_EQ(jt["transparentPattern"], tex.transparentPattern);
    EXPECT_EQ(jt["fingerprint"], tex.fingerprint);
    EXPECT_DOUBLE_EQ(jt["xSize"].get<double>(), tex.xSize);
  }
  EXPECT_EQ(dump["materialCountResult"], NoError);
  ASSERT_EQ(dump["materials"].size(), p.materials.size());
  for (std::size_t m = 0; m < p.materials.size(); ++m) {
    const hostmodel::Material& mat = p.materials[m];
    const json& jm = dump["materials"][m];
    const std::string where = "material " + std::to_string(m + 1);
    ASSERT_EQ(jm["result"], NoError) << where;
    EXPECT_EQ(jm["index"], int(m + 1)) << where;
    EXPECT_EQ(jm["stamp"], mat.stamp) << where;
    EXPECT_EQ(jm["name"], mat.name) << where;
    EXPECT_EQ(jm["guid"], mat.guid.ToString()) << where;
    EXPECT_EQ(jm["flags"], mat.headerFlags) << where;
    EXPECT_EQ(jm["type"], mat.materialType) << where;
    EXPECT_EQ(jm["transparency"], mat.transparency) << where;
    EXPECT_EQ(jm["shine"], mat.shininess) << where;
    EXPECT_EQ(jm["attenuation"], mat.attenuation) << where;
    EXPECT_EQ(jm["percentage"], mat.percentage) << where;
    ExpectNear3(jm["surface"], mat.surfaceColor.r, mat.surfaceColor.g, mat.surfaceColor.b, where);
    ExpectNear3(jm["second"], mat.secondColor.r, mat.secondColor.g, mat.secondColor.b, where);
    const hostmodel::Texture* tex = p.TextureAt(mat.textureIndex);
    EXPECT_EQ(jm["hasTextureLocation"], tex != nullptr) << where;
    EXPECT_EQ(jm["modelerHasTexture"], tex != nullptr) << where;
    if (tex != nullptr) {
      EXPECT_EQ(jm["textureFingerprint"], tex->fingerprint) << where;
      EXPECT_EQ(jm["textureEmpty"], tex->filePath.empty()) << where;
      if (!tex->filePath.empty()) {
        EXPECT_EQ(jm["texturePath"], tex->filePath) << where;
      }
    }
  }
}

TEST_F(HostWithAddon, NativeProjectRoundTripReadsBackThroughTheAddon) {
  ASSERT_TRUE(host->OpenSampleProject().ok());
  ASSERT_EQ(probe->attach(), NoError);
  const json before = Dump();
  ExpectDumpMatches(before, hostmodel::SampleBuilding());
  probe->detach();

  const std::string path = temp.File("house.pln");
  ASSERT_TRUE(host->SaveProjectAs(path).ok());
  ASSERT_TRUE(host->CloseProject().ok());
  ASSERT_TRUE(host->OpenProject(path).ok());
  ASSERT_EQ(probe->attach(), NoError);
  const json after = Dump();
  auto reloaded = hostmodel::LoadProjectFile(path);
  ASSERT_TRUE(reloaded.ok()) << reloaded.error();
  ExpectDumpMatches(after, reloaded.value());
  // The saved file keeps the identities the add-on tracks elements by.
  ASSERT_EQ(after["elements"].size(), before["elements"].size());
  for (std::size_t i = 0; i < before["elements"].size(); ++i) {
    EXPECT_EQ(after["elements"][i]["guid"], before["elements"][i]["guid"]);
    EXPECT_EQ(after["elements"][i]["genId"], before["elements"][i]["genId"]);
  }
  API_ProjectInfo info;
  ASSERT_EQ(probe->environment(APIEnv_ProjectID, &info, nullptr), NoError);
  EXPECT_FALSE(info.untitled);
  GS::UniString location;
  ASSERT_EQ(info.location.ToPath(&location), NoError);
  EXPECT_EQ(location.ToUtf8(), std::filesystem::path(path).lexically_normal().string());
}

// A textured two-object OBJ with its MTL and PNG.
std::string WriteObj(const hostrt_test::TempDir& dir) {
  hostmodel::Texture tex;
  tex.width = 2;
  tex.height = 2;
  tex.pixels = {255, 200, 30, 30, 255, 30, 200, 30, 255, 30, 30, 200, 255, 220, 220, 220};
  EXPECT_TRUE(hostmodel::WritePng(tex, dir.File("brick.png")).ok());
  std::ofstream(dir.File("yard.mtl")) << "newmtl Brick\nKd 0.8 0.3 0.2\nNs 40\nd 1\nmap_Kd brick.png\n"
                                         "newmtl Glass\nKd 0.6 0.8 0.9\nd 0.4\n";
  std::ofstream(dir.File("yard.obj")) << "mtllib yard.mtl\n"
                                         "o Wall\n"
                                         "v 0 0 0\nv 2 0 0\nv 2 0 1\nv 0 0 1\n"
                                         "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
                                         "vn 0 -1 0\n"
                                         "usemtl Brick\n"
                                         "f 1/1/1 2/2/1 3/3/1 4/4/1\n"
                                         "o Pane\n"
                                         "v 0 1 0\nv 1 1 0\nv 1 1 1\n"
                                         "usemtl Glass\n"
                                         "f 5 6 7\n";
  return dir.File("yard.obj");
}

TEST_F(HostWithAddon, ImportedObjReadsBackThroughTheAddon) {
  const std::string path = WriteObj(temp);
  auto direct = hostmodel::ImportModel(path);
  ASSERT_TRUE(direct.ok()) << direct.error();
  ASSERT_TRUE(host->OpenProject(path).ok());
  ASSERT_EQ(probe->attach(), NoError);
  const json dump = Dump();
  ExpectDumpMatches(dump, direct.value());
  ASSERT_EQ(dump["elements"].size(), 2u);
  // The texture the OBJ names arrives as pixels and as the material's file.
  ASSERT_EQ(dump["textures"].size(), 1u);
  EXPECT_EQ(dump["textures"][0]["width"], 2);
  bool textured = false;
  for (const auto& m : dump["materials"]) textured = textured || m["modelerHasTexture"].get<bool>();
  EXPECT_TRUE(textured);
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
  ModelerAPI::Vector normal{9, 9, 9};
  polygon.GetNormalVectorByVertex(1000, &normal);
  EXPECT_EQ(normal.x, 0.0);
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

// A curved polygon in two convex pieces: the host numbers its corners over
// both pieces, so position 4 is the first corner of the second piece. Each
// corner's normal is the normal of the vertex it stands on; the numbering
// within a piece would give the second piece the first piece's normals.
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
  const json dump = Dump();
  const json& jp = dump["elements"][0]["bodies"][0]["polygons"][0];
  ASSERT_EQ(jp["pieces"].size(), 2u);
  const std::vector<int> corners = {0, 1, 2, 0, 2, 3};
  ASSERT_EQ(jp["cornerNormals"].size(), corners.size());
  for (std::size_t k = 0; k < corners.size(); ++k) {
    const auto& n = body.vertexNormals[static_cast<std::size_t>(corners[k])];
    ExpectNear3(jp["cornerNormals"][k], n.x, n.y, n.z, "corner " + std::to_string(k + 1));
  }
  // Past the last corner of the last piece there is no normal.
  AttributeReader reader;
  ModelerAPI::Model model;
  ASSERT_EQ(EXPGetModel(host->WindowSight(), &model, &reader), NoError);
  ModelerAPI::Element element;
  model.GetElement(1, &element);
  ModelerAPI::Body b;
  element.GetBody(1, &b);
  ModelerAPI::Polygon poly;
  b.GetPolygon(1, &poly);
  ModelerAPI::Vector n{9, 9, 9};
  poly.GetNormalVectorByVertex(7, &n);
  EXPECT_EQ(n.x, 0.0);
  EXPECT_EQ(n.z, 0.0);
}

}  // namespace
