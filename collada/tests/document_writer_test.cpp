// The document as a whole against its golden file byte for byte (CR LF, no
// BOM), and the texts it is made of.
#include "collada/document_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <ctime>

#include "collada/document_text.h"
#include "collada/geometry_text.h"
#include "document_check.h"

namespace {

using collada::DocumentContent;
using collada::DocumentMaterial;
using collada::GeometryInfo;
using collada::NodeInfo;
using collada_test::TempDir;

struct Vertex {
  float p[3], n[3], uv[2];
};

// A merged buffer as the pipeline builds it, serialised.
std::unique_ptr<GeometryInfo> MakeGeometry(const std::string& id, const std::string& name,
                                           const std::vector<Vertex>& vertices,
                                           const std::vector<std::uint32_t>& indices) {
  auto g = std::make_unique<GeometryInfo>();
  std::size_t V = vertices.size(), I = indices.size();
  g->vertexDataWords = collada::MergedWords(V, I);
  g->vertexData = std::make_unique<std::uint32_t[]>(g->vertexDataWords);
  std::uint32_t* w = g->vertexData.get();
  w[0] = static_cast<std::uint32_t>(V);
  w[1] = static_cast<std::uint32_t>(I);
  w[2] = 1;
  for (std::size_t v = 0; v < V; ++v) {
    for (int k = 0; k < 3; ++k) w[3 + 3 * v + k] = std::bit_cast<std::uint32_t>(vertices[v].p[k]);
    for (int k = 0; k < 3; ++k) w[3 + 3 * V + 3 * v + k] = std::bit_cast<std::uint32_t>(vertices[v].n[k]);
    for (int k = 0; k < 2; ++k) w[3 + 6 * V + 2 * v + k] = std::bit_cast<std::uint32_t>(vertices[v].uv[k]);
  }
  for (std::size_t i = 0; i < I; ++i) w[3 + 8 * V + i] = indices[i];
  collada::SerializeGeometry(*g);
  g->id = id;
  g->name = name;
  return g;
}

// A fixed date: the golden files hold it, and TZ makes it local.
std::time_t FixedTime() {
#ifdef _WIN32
  _putenv_s("TZ", "UTC0");
  _tzset();
#else
  setenv("TZ", "UTC", 1);
  tzset();
#endif
  return 1796604472;  // Mon Dec  7 00:47:52 2026 UTC
}

struct SmallModel {
  std::vector<std::unique_ptr<GeometryInfo>> geometries;
  std::vector<std::unique_ptr<NodeInfo>> nodes;
  DocumentContent content;

  explicit SmallModel(bool exportNodes) {
    DocumentMaterial brick;
    brick.id = collada::MaterialId(0x10000002A);
    brick.name = collada::XmlText(u"Brick & <Co> \"x\" 'y'");
    brick.surfaceType = 0;
    brick.colour = 0xFFFF8000;  // 255 -> 0.996, 128 -> 0.500
    brick.secondColour = 0x00102030;
    brick.shine = 0.35f;
    brick.opacity = 1.0f;
    DocumentMaterial glass;
    glass.id = collada::MaterialId(0xAB);
    glass.name = "Glass";
    glass.surfaceType = 2;
    glass.opacity = 0.25f;
    content.materials = {brick, glass};
    content.exportImagePath = [](std::size_t i) -> std::u16string {
      return i == 1 ? u"Model_Textures/00000000000000ab.png" : u"";
    };
    // One triangle per material and a geometry with vertices but no indices.
    std::vector<Vertex> tri = {
        {{1, 2, 3}, {0, 1, 0}, {0.5f, 0.25f}}, {{2, 2, 3}, {0, 1, 0}, {1, 0.25f}}, {{2, 2, 4}, {0, 1, 0}, {1, 1}}};
    geometries.push_back(MakeGeometry(brick.id, brick.name, tri, {0, 1, 2}));
    geometries.push_back(MakeGeometry(glass.id, glass.name, tri, {}));
    for (auto& g : geometries) content.geometries.push_back(g.get());
    nodes.push_back(
        std::make_unique<NodeInfo>(NodeInfo{"vn-0001", "1 0 0 1.500000 0 1 0 3.000000 0 0 1 2.000000 0 0 0 1"}));
    nodes.push_back(
        std::make_unique<NodeInfo>(NodeInfo{"vn-10000", "1 0 0 0.000000 0 1 0 0.000000 0 0 1 0.010000 0 0 0 1"}));
    for (auto& n : nodes) content.nodes.push_back(n.get());
    content.exportNodes = exportNodes;
    content.created = FixedTime();
  }
};

std::string WriteToFile(const TempDir& dir, const std::string& name, const DocumentContent& content) {
  collada::OutputFile out;
  std::string path = dir.File(name);
  EXPECT_TRUE(out.Open(path)) << out.Error();
  collada::WriteDocument(out, content);
  EXPECT_TRUE(out.Commit()) << out.Error();
  return path;
}

// A golden document as written by hand, never from the writer's output.
std::string Golden(const std::string& name) {
  const std::string golden = collada_test::ReadFile(std::string(CORV_COLLADA_GOLDEN_DIR) + "/" + name);
  EXPECT_FALSE(golden.empty()) << name;
  return golden;
}

// With nodes the golden document; without, the same less every marker. (An
// empty model is the export's test, through the host.)
TEST(DocumentWriter, SmallModelMatchesItsGoldenFileWithAndWithoutNodes) {
  TempDir dir;
  for (bool nodes : {true, false}) {
    SmallModel model(nodes);
    const std::string path = WriteToFile(dir, nodes ? "Model.dae" : "Bare.dae", model.content);
    const std::string document = collada_test::ReadFile(path);
    EXPECT_NE(document.find("<created>Mon Dec  7 00:47:52 2026\r\n</created>\r\n"), std::string::npos);
    const std::string golden = Golden("small_model.dae");
    EXPECT_EQ(collada_test::NormaliseDate(document), nodes ? golden : collada_test::WithoutNodes(golden));
  }
}

// The golden documents (written by hand) are COLLADA 1.4.1 with and without
// their markers; the writer's and the export's tests compare with them.
TEST(DocumentWriter, GoldenDocumentsAreValidWithAndWithoutNodes) {
#ifdef _WIN32
  GTEST_SKIP() << "the validator is a Linux program; the Linux build checks the same golden files";
#endif
  const TempDir dir;
  for (const char* name : {"small_model.dae", "pipeline_model.dae", "empty_nodes.dae"})
    for (bool nodes : {true, false}) {
      std::string document = nodes ? Golden(name) : collada_test::WithoutNodes(Golden(name));
      document.replace(document.find("DATE"), 4, "Mon Dec  7 00:47:52 2026");
      const std::string path = dir.File(std::string(nodes ? "n_" : "b_") + name);
      collada_test::WriteFile(path, document);
      EXPECT_EQ(collada_test::SchemaProblems(path), "") << path;
    }
}

TEST(DocumentText, ColoursIdsNamesAndReferences) {
  // (The plain cases are in the golden documents.)
  EXPECT_EQ(collada::FormatColor(0x00FFFFFF, 0.5f), "0.996 0.996 0.996 0.500");
  EXPECT_EQ(collada::MaterialId(0xFFFFFFFFFFFFFFFFull), "FFFFFFFF");
  EXPECT_EQ(collada::LongMaterialId(0x10000002A), "10000002A");
  // Markup is escaped; characters XML 1.0 forbids (the vertical tab and form
  // feed that name sanitising keeps, other controls, U+FFFF) become "_".
  EXPECT_EQ(collada::XmlText(u"x\vy\fz\u0001\u001F\uFFFF\t\r\n"), "x_y_z___\t\r\n");
  EXPECT_EQ(collada::XmlText(u"Vidrio \u00C4"), "Vidrio \xC3\x84");
  EXPECT_EQ(collada::ImageReference(u"A B_Textures/x#1%.png"), "A%20B_Textures/x%231%25.png");
  EXPECT_EQ(collada::ImageReference(u"R&D_Textures/\u20AC\u00E9.jpg"), "R&amp;D_Textures/%e2%82%ac\xC3\xA9.jpg");
  for (int type : {0, 2, 10}) EXPECT_EQ(collada::SurfaceTypeName(type), type == 2 ? "glass" : "") << type;
}

// C's asctime layout, the same bytes on every platform: the day of the
// month is padded with a space (Windows' C runtime pads it with "0").
TEST(DocumentText, DateHasTheAsctimeLayoutInEnglish) {
  const std::time_t t = FixedTime();
  const std::pair<std::time_t, const char*> dates[] = {{t, "Mon Dec  7 00:47:52 2026\n"},
                                                       {t + 86400 * 40 + 3600 * 13, "Sat Jan 16 13:47:52 2027\n"},
                                                       {0, "Thu Jan  1 00:00:00 1970\n"}};
  for (const auto& [when, expected] : dates) {
    EXPECT_EQ(collada::AsctimeText(when), expected);
#ifndef _WIN32
    char own[64];
    std::tm tm{};
    localtime_r(&when, &tm);
    ASSERT_NE(asctime_r(&tm, own), nullptr);
    EXPECT_EQ(collada::AsctimeText(when), own);
#endif
  }
}

// (The arrays' axis order, flipped texture coordinates and a geometry
// without indices are in the small golden document.) A buffer whose counts
// promise more than it holds is not read past.
TEST(GeometryText, ABufferShorterThanItsCountsGivesNoArrays) {
  GeometryInfo bad;
  bad.vertexDataWords = 5;
  bad.vertexData = std::make_unique<std::uint32_t[]>(5);
  bad.vertexData[0] = 1000;
  bad.vertexData[1] = 3;
  bad.vertexData[2] = 1;
  collada::SerializeGeometry(bad);
  EXPECT_EQ(bad.vertexCount, 0u);
  EXPECT_TRUE(bad.positions.empty());
}

// Large enough to be formatted in several pieces on several threads, which
// must join in order.
TEST(GeometryText, LargeGeometryEqualsPrintfText) {
  std::vector<Vertex> vertices;
  std::vector<std::uint32_t> indices;
  for (int i = 0; i < 40000; ++i) {
    float f = static_cast<float>(i) * 0.37f - 800.0f;
    vertices.push_back({{f, f * 3.0f, -f / 7.0f}, {0.001f * i, -1, 0}, {f / 100.0f, 0.1f * i}});
    indices.push_back(static_cast<std::uint32_t>(39999 - i));
  }
  auto g = MakeGeometry("1", "m", vertices, indices);
  std::string positions;
  char buffer[256];
  for (const Vertex& v : vertices) {
    std::snprintf(buffer, sizeof buffer, "%0.3f %0.3f %0.3f ", v.p[0], v.p[2], v.p[1]);
    positions += buffer;
  }
  EXPECT_EQ(g->positions.Joined(), positions);
}

}  // namespace

// Meshes read in place as runs, formatted a batch of pieces at a time while
// the batch before is written: the same text as their merged buffer, built
// here by hand, gives. The back of a double-sided mesh reverses its
// triangles and negates its normals; a mesh whose arrays hold less than its
// counts gives zeros, and its index that names no vertex of it names its
// first.
TEST(GeometryText, RunsWrittenInBatchesEqualTheirMergedBuffer) {
  const std::uint32_t n = 70000;  // arrays of several batches of pieces
  std::vector<float> p(3 * n), nm(3 * n), uv(2 * n);
  std::vector<std::uint32_t> idx(3 * n);
  for (std::uint32_t i = 0; i < 3 * n; ++i) {
    p[i] = static_cast<float>(i) * 0.013f - 900.0f;
    nm[i] = static_cast<float>(i % 7) - 3.0f;  // zeros among them
    idx[i] = (i * 7919u) % n;
  }
  for (std::uint32_t i = 0; i < 2 * n; ++i) uv[i] = static_cast<float>(i % 1000) / 999.0f;
  const float shortPosition[3] = {4, 5, 6};
  const std::uint32_t shortIndices[3] = {1, 0, 9};

  GeometryInfo g;
  collada::MeshRun front{p.data(), nm.data(), uv.data(), idx.data(), 3 * n, 3 * n, 2 * n, 3 * n, n, 3 * n};
  collada::MeshRun back = front;
  back.base = n;
  back.firstIndex = 3 * n;
  back.back = true;
  collada::MeshRun damaged{shortPosition, nullptr, nullptr, shortIndices, 3, 0, 0, 3, 2, 3, 2 * n, 6 * n};
  g.runs = {front, back, damaged};
  g.vertexCount = 2 * n + 2;
  g.indexCount = 6 * n + 3;

  std::vector<Vertex> vertices;
  std::vector<std::uint32_t> indices;
  for (int side = 0; side < 2; ++side) {
    const float sign = side == 0 ? 1.0f : -1.0f;
    for (std::uint32_t v = 0; v < n; ++v)
      vertices.push_back({{p[3 * v], p[3 * v + 1], p[3 * v + 2]},
                          {sign * nm[3 * v], sign * nm[3 * v + 1], sign * nm[3 * v + 2]},
                          {uv[2 * v], uv[2 * v + 1]}});
    for (std::uint32_t i = 0; i < 3 * n; ++i) indices.push_back(idx[side == 0 ? i : 3 * n - 1 - i] + side * n);
  }
  vertices.push_back({{4, 5, 6}, {0, 0, 0}, {0, 0}});
  vertices.push_back({{0, 0, 0}, {0, 0, 0}, {0, 0}});
  for (std::uint32_t i : {1u, 0u, 0u}) indices.push_back(2 * n + i);
  auto merged = MakeGeometry("1", "m", vertices, indices);

  TempDir dir;
  collada::OutputFile out;
  ASSERT_TRUE(out.Open(dir.File("arrays")));
  collada::ArrayWriter writer;
  using collada::GeometryArray;
  for (GeometryArray a :
       {GeometryArray::kPositions, GeometryArray::kNormals, GeometryArray::kTexcoords, GeometryArray::kIndices})
    writer.Write(out, g, a);
  ASSERT_TRUE(out.Commit()) << out.Error();
  EXPECT_TRUE(collada_test::ReadFile(dir.File("arrays")) == merged->positions.Joined() + merged->normals.Joined() +
                                                                merged->texcoords.Joined() + merged->indices.Joined());
}
