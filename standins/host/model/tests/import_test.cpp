#include "hostmodel/import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "hostmodel/edit.h"
#include "hostmodel/geometry.h"
#include "hostmodel/project_file.h"
#include "model_importer.h"
#include "temp_dir.h"

namespace hostmodel {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;

const std::string kData = HOSTMODEL_TEST_DATA;

double Dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

const Element* Named(const Project& p, const std::string& name) {
  for (const Element& e : p.elements)
    if (e.name == name) return &e;
  return nullptr;
}

const Material* MaterialNamed(const Project& p, const std::string& name) {
  for (const Material& m : p.materials)
    if (m.name == name) return &m;
  return nullptr;
}

// Area of the visible surface, summed over convex pieces.
double SurfaceArea(const Project& p) {
  double total = 0;
  for (const Element& e : p.elements)
    for (const Body& b : e.bodies)
      for (const Polygon& poly : b.polygons) {
        if (poly.invisible) continue;
        for (const auto& piece : poly.convexPieces)
          for (std::size_t i = 1; i + 1 < piece.size(); ++i) {
            const Vec3& a = b.vertices[static_cast<std::size_t>(piece[0])];
            const Vec3& u = b.vertices[static_cast<std::size_t>(piece[i])];
            const Vec3& v = b.vertices[static_cast<std::size_t>(piece[i + 1])];
            Vec3 e1{u.x - a.x, u.y - a.y, u.z - a.z}, e2{v.x - a.x, v.y - a.y, v.z - a.z};
            Vec3 c{e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
            total += std::sqrt(Dot(c, c)) / 2;
          }
      }
  return total;
}

// Runs check with the import options of each OBJ reader in turn, the host's
// own and assimp's (where the build has it), under a trace that names it.
template <class Check>
void WithEachObjReader(const Check& check) {
  for (bool direct : {true, false}) {
    if (!direct && !ModelImporterAvailable()) continue;
    SCOPED_TRACE(direct ? "host reader" : "assimp");
    ImportOptions options;
    options.directObj = direct;
    check(options);
  }
}

// Copies the yard test files into a fresh folder so a test may change them.
std::string CopyYard(const TempDir& dir) {
  for (const char* f : {"yard.obj", "yard.mtl", "checker.png"}) fs::copy_file(kData + f, dir / f);
  return dir / "yard.obj";
}

TEST(HostModelImport, ObjObjectsBecomeElementsInZUpWithMaterialsTexturesAndSmoothing) {
  auto r = ImportModel(kData + "yard.obj");
  ASSERT_TRUE(r.ok()) << r.error();
  const Project& p = r.value();
  ASSERT_EQ(p.elements.size(), 3u);
  const Element* crate = Named(p, "/Crate");
  const Element* floor = Named(p, "/Floor");
  const Element* pipe = Named(p, "/Pipe");
  ASSERT_TRUE(crate && floor && pipe);

  // The crate's top (y = 1 in the file) is z = 1 here, its front (file +z)
  // faces -y; a closed box with flat faces.
  const Body& box = crate->bodies.at(0);
  EXPECT_TRUE(box.closed);
  for (const Vec3& v : box.vertices) {
    EXPECT_TRUE(v.z == 0 || v.z == 1);
    EXPECT_TRUE(v.y == 0 || v.y == 1);
  }
  bool sawUp = false;
  for (const Polygon& poly : box.polygons) {
    EXPECT_FALSE(poly.curved);
    if (PolygonNormal(box, poly) == Vec3{0, 0, 1}) sawUp = true;
  }
  EXPECT_TRUE(sawUp);

  // The concave L floor: one polygon, split into convex pieces facing up,
  // not closed (a single sheet), with texture coordinates from the file.
  const Body& fb = floor->bodies.at(0);
  EXPECT_FALSE(fb.closed);
  ASSERT_EQ(fb.polygons.size(), 1u);
  const Polygon& lp = fb.polygons[0];
  EXPECT_GE(lp.convexPieces.size(), 2u);
  Vec3 n = PolygonNormal(fb, lp);
  EXPECT_NEAR(n.z, 1.0, 1e-12);
  for (const auto& piece : lp.convexPieces) EXPECT_TRUE(IsConvexLoop(fb.vertices, piece, n));
  Project floorOnly;
  floorOnly.elements.push_back(*floor);
  EXPECT_NEAR(SurfaceArea(floorOnly), 12.0, 1e-6);
  EXPECT_EQ(MappingOf(fb, lp).projection, TextureProjection::Vertex);
  for (std::size_t v = 0; v < fb.vertices.size(); ++v) {
    Vec2 uv = TextureCoordinate(fb, lp, static_cast<std::int32_t>(v));
    EXPECT_NEAR(uv.u, fb.vertices[v].x / 2, 1e-6);
    EXPECT_NEAR(uv.v, fb.vertices[v].y / 2, 1e-6);
  }

  // The half pipe carries smooth normals: curved polygons.
  for (const Polygon& poly : pipe->bodies.at(0).polygons) EXPECT_TRUE(poly.curved);

  const Material* wood = MaterialNamed(p, "Wood");
  const Material* checker = MaterialNamed(p, "Checker");
  const Material* glass = MaterialNamed(p, "Glass");
  ASSERT_TRUE(wood && checker && glass);
  EXPECT_NEAR(wood->surfaceColor.g, 0.3, 1e-6);
  EXPECT_NEAR(wood->secondColor.r, 0.2, 1e-6);
  EXPECT_EQ(wood->shininess, 2500);
  EXPECT_EQ(glass->transparency, 75);
  const Texture* tex = p.TextureAt(checker->textureIndex);
  ASSERT_TRUE(tex);
  ASSERT_EQ(tex->width, 4);
  // Top-left pixel of the checker: opaque (200, 30, 30) as A,R,G,B.
  EXPECT_EQ(std::vector<std::uint8_t>(tex->pixels.begin(), tex->pixels.begin() + 4),
            (std::vector<std::uint8_t>{255, 200, 30, 30}));
  EXPECT_FALSE(tex->hasAlphaChannel);
  EXPECT_EQ(Validate(p), "");
}

TEST(HostModelImport, GltfNodeTransformsAndEmbeddedTextures) {
  HOSTMODEL_SKIP_WITHOUT_MODEL_IMPORTER("glTF");
  auto r = ImportModel(kData + "sign.gltf");
  ASSERT_TRUE(r.ok()) << r.error();
  const Project& p = r.value();
  ASSERT_EQ(p.elements.size(), 1u);
  const Body& b = p.elements[0].bodies.at(0);
  // Parent translation (1, 0, -2) and child scale 2, then Y-up to Z-up:
  // the 1 m quad becomes a 2 m sign standing at y = 2.
  for (const Vec3& v : b.vertices) {
    EXPECT_TRUE(v.x == 1 || v.x == 3) << v.x;
    EXPECT_DOUBLE_EQ(v.y, 2);
    EXPECT_TRUE(v.z == 0 || v.z == 2) << v.z;
  }
  ASSERT_EQ(p.materials.size(), 1u);
  EXPECT_EQ(p.materials[0].shininess, 7500);  // roughness 0.25
  const Texture* t = p.TextureAt(p.materials[0].textureIndex);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->width, 2);
  EXPECT_TRUE(t->filePath.empty());
  EXPECT_TRUE(t->hasAlphaChannel);
  EXPECT_TRUE(t->transparentPattern);
  // Second pixel is fully transparent green.
  EXPECT_EQ(t->pixels[4], 0);
  EXPECT_EQ(t->pixels[6], 255);
}

TEST(HostModelImport, IdentitiesAreStableAcrossReloadsAndFollowContent) {
  TempDir dir;
  std::string obj = CopyYard(dir);
  auto first = ImportModel(obj);
  auto second = ImportModel(obj);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_TRUE(first.value() == second.value()) << "same file, same project";

  // Move one vertex of the crate: only the crate gets a new generation id.
  std::string text = ReadFile(obj);
  text.replace(text.find("v 6 1 -1"), 8, "v 6 1.5 -1");
  dir.Write("yard.obj", text);
  auto changed = ImportModel(obj);
  ASSERT_TRUE(changed.ok()) << changed.error();
  for (std::size_t i = 0; i < first->elements.size(); ++i) {
    const Element& a = first->elements[i];
    const Element& b = changed->elements[i];
    EXPECT_EQ(a.guid, b.guid);
    EXPECT_EQ(a.genId != b.genId, a.name == "/Crate") << a.name;
  }
  for (std::size_t i = 0; i < first->materials.size(); ++i)
    EXPECT_EQ(first->materials[i].stamp, changed->materials[i].stamp);

  // Applied as a reload: the change list names the crate only.
  Project live = first.value();
  ChangeSet cs = ApplyReload(live, changed.value());
  ASSERT_EQ(cs.changedElements.size(), 1u);
  EXPECT_EQ(cs.changedElements[0], Named(live, "/Crate")->guid);
  EXPECT_TRUE(cs.addedElements.empty() && cs.removedElements.empty() && cs.changedMaterials.empty());
  EXPECT_EQ(Named(live, "/Floor")->genId, Named(first.value(), "/Floor")->genId);

  // A changed material colour: that material's stamp alone; geometry kept.
  std::string mtl = ReadFile(dir / "yard.mtl");
  mtl.replace(mtl.find("Kd 0.5 0.3 0.1"), 14, "Kd 0.6 0.3 0.1");
  dir.Write("yard.mtl", mtl);
  auto recoloured = ImportModel(obj);
  ASSERT_TRUE(recoloured.ok());
  Project before = live;
  ChangeSet cs2 = ApplyReload(live, recoloured.value());
  ASSERT_EQ(cs2.changedMaterials.size(), 1u);
  const Material& wood = live.materials[static_cast<std::size_t>(cs2.changedMaterials[0] - 1)];
  EXPECT_EQ(wood.name, "Wood");
  EXPECT_NE(wood.stamp, MaterialNamed(before, "Wood")->stamp);
  EXPECT_TRUE(cs2.changedElements.empty());
  for (std::size_t i = 0; i < live.elements.size(); ++i) EXPECT_EQ(live.elements[i].genId, before.elements[i].genId);
}

// Objects of one name are told apart by their order among the siblings of
// that name, whatever lies between them; each gets its own identity, the
// same on every reload, through both the host's own reader and assimp's.
TEST(HostModelImport, RepeatedSiblingNamesAreNumberedInFileOrder) {
  TempDir dir;
  std::string obj = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
  for (const char* group : {"Wall", "Door", "Wall", "Slab", "Wall", "Door"})
    obj += std::string("g ") + group + "\nf 1 2 3\n";
  const std::string path = dir.Write("repeated.obj", obj);
  WithEachObjReader([&](const ImportOptions& options) {
    auto first = ImportModel(path, options);
    auto again = ImportModel(path, options);
    ASSERT_TRUE(first.ok() && again.ok());
    std::vector<std::string> names;
    for (const Element& e : first->elements) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"/Wall", "/Door", "/Wall#2", "/Slab", "/Wall#3", "/Door#2"}));
    for (std::size_t i = 0; i < first->elements.size(); ++i) {
      EXPECT_EQ(first->elements[i].guid, again->elements[i].guid);
      for (std::size_t k = 0; k < i; ++k) EXPECT_NE(first->elements[i].guid, first->elements[k].guid);
    }
  });
}

// A body is closed when every edge, by position, is used exactly once each
// way. A tetrahedron is; flipping, dropping or repeating one of its faces
// breaks that, while a corner written twice at one place does not. Two
// triangles sharing an edge, each used once each way there, are an open
// sheet all the same.
TEST(HostModelImport, ClosedOnlyWhenEveryEdgeIsUsedOnceEachWay) {
  TempDir dir;
  const std::string obj =
      "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nv 0 0 0\n"
      "o Closed\nf 1 3 2\nf 1 2 4\nf 2 3 4\nf 1 4 3\n"
      "o CornerTwice\nf 1 3 2\nf 5 2 4\nf 2 3 4\nf 1 4 3\n"
      "o Flipped\nf 1 3 2\nf 1 4 2\nf 2 3 4\nf 1 4 3\n"
      "o Open\nf 1 3 2\nf 1 2 4\nf 2 3 4\n"
      "o FaceTwice\nf 1 3 2\nf 1 2 4\nf 2 3 4\nf 1 4 3\nf 1 4 3\n"
      "o Sheet\nf 1 2 3\nf 2 4 3\n";
  const std::string path = dir.Write("solids.obj", obj);
  WithEachObjReader([&](const ImportOptions& options) {
    auto r = ImportModel(path, options);
    ASSERT_TRUE(r.ok()) << r.error();
    std::vector<std::pair<std::string, bool>> closed;
    for (const Element& e : r->elements) closed.emplace_back(e.name, e.bodies.at(0).closed);
    EXPECT_EQ(closed, (std::vector<std::pair<std::string, bool>>{{"/Closed", true},
                                                                 {"/CornerTwice", true},
                                                                 {"/Flipped", false},
                                                                 {"/Open", false},
                                                                 {"/FaceTwice", false},
                                                                 {"/Sheet", false}}));
  });
}

TEST(HostModelImport, BadFilesGiveClearErrorsNamingTheFile) {
  TempDir dir;
  struct Case {
    std::string name, content, expect;
  };
  std::string obj = ReadFile(kData + "yard.obj");
  std::string gltf = ReadFile(kData + "sign.gltf");
  std::vector<Case> cases = {
      {"missing.obj", "", "cannot open model file"},
      {"garbage.glb", "glTF\x02\x00\x00\x00garbage", "cannot read model"},
      {"truncated.gltf", gltf.substr(0, gltf.size() / 3), "cannot read model"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / c.name;
    if (c.name != "missing.obj") dir.Write(c.name, c.content);
    auto r = LoadAnyFile(path);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().rfind(path + ": ", 0), 0u) << r.error();
    EXPECT_NE(r.error().find(c.expect), std::string::npos) << r.error();
  }
}

// Furniture models as people download them: one material names a texture
// that is not there, one a texture by the absolute path of the machine that
// wrote it (with blanks behind), one an image that is no image; the mesh
// also holds outline lines and a point. The model opens; what it leaves out
// is said once per texture and once for the primitives.
TEST(HostModelImport, DownloadedObjFilesOpenWithWhatTheyLackReported) {
  // The material names with blanks behind them are left to assimp.
  HOSTMODEL_SKIP_WITHOUT_MODEL_IMPORTER("an OBJ file the host's reader leaves to assimp");
  TempDir dir;
  fs::copy_file(kData + "checker.png", dir / "wood.png");
  dir.Write("broken.png", "this is no image");
  dir.Write("chair.mtl",
            "newmtl Wood  \n"
            "Kd 0.6 0.4 0.2\n"
            "map_Kd   C:\\Users\\someone\\Downloads\\textures\\wood.png  \n"
            "newmtl Fabric\n"
            "Kd 0.2 0.2 0.7\n"
            "map_Kd fabric_blue.jpg\n"
            "newmtl Steel\n"
            "Kd 0.7 0.7 0.7\n"
            "map_Kd broken.png\n");
  const std::string path = dir.Write("chair.obj",
                                     "mtllib chair.mtl\n"
                                     "v 0 0 0\nv 1 0 0\nv 1 0 1\nv 0 0 1\nv 0 1 0\nv 1 1 0\n"
                                     "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
                                     "o Seat\nusemtl Wood  \nf 1/1 2/2 3/3 4/4\n"
                                     "l 1 5\nl 2 6\np 3\n"
                                     "o Cushion\nusemtl Fabric\nf 1 5 6 2\n"
                                     "o Leg\nusemtl Steel\nf 2 6 3\n");
  std::vector<std::string> warnings;
  ImportOptions options;
  options.warnings = &warnings;
  auto r = ImportModel(path, options);
  ASSERT_TRUE(r.ok()) << r.error();
  const Project& p = r.value();
  EXPECT_EQ(p.elements.size(), 3u);

  const Material* wood = MaterialNamed(p, "Wood");
  ASSERT_NE(wood, nullptr) << "the name is read without its trailing blanks";
  const Texture* t = p.TextureAt(wood->textureIndex);
  ASSERT_NE(t, nullptr) << "the foreign absolute path is found beside the model by its file name";
  EXPECT_EQ(fs::path(t->filePath).filename(), "wood.png");
  for (const char* name : {"Fabric", "Steel"}) {
    const Material* m = MaterialNamed(p, name);
    ASSERT_NE(m, nullptr) << name;
    EXPECT_EQ(m->textureIndex, 0) << name << " goes without its texture";
  }

  // What it leaves out is said once per texture and once for the primitives.
  EXPECT_EQ(warnings.size(), 3u) << ::testing::PrintToString(warnings);
  // Without a place for warnings the same file opens the same way.
  auto quiet = ImportModel(path);
  ASSERT_TRUE(quiet.ok()) << quiet.error();
  EXPECT_EQ(quiet.value().materials, p.materials);
}

// The assimp Debian ships follows a null material, and takes the host down,
// when a material library names a texture, or gives an anisotropy, before
// its first material. Such
// a file is refused with the library and the line, by the host's own OBJ
// reader and through assimp alike; the same statements after a newmtl, and
// colours before one, import as before.
TEST(HostModelImport, MaterialLibrariesThatWouldCrashAssimpAreRefusedByName) {
  TempDir dir;
  const std::string obj = dir.Write("lib.obj", "mtllib lib.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n");
  for (bool direct : {true, false}) {
    if (!direct && !ModelImporterAvailable()) continue;
    ImportOptions options;
    options.directObj = direct;
    // assimp ends a statement at a NUL or a carriage return as at a newline.
    using namespace std::string_literals;
    for (const std::string& statement :
         {"map_Kd none.png"s, "  bump none.png"s, "disp none.png"s, "norm none.png"s, "MAP_Kd none.png"s, "a 1"s,
          "aniso 0.5"s, "# a comment a NUL ends\0a"s, "\ra"s}) {
      dir.Write("lib.mtl", "# made by hand\n\n" + statement + "\nnewmtl m\nKd 1 0 0\n");
      const auto project = ImportModel(obj, options);
      ASSERT_FALSE(project.ok()) << statement;
      EXPECT_NE(project.error().find("lib.mtl: line 3: "), std::string::npos) << project.error();
      EXPECT_NE(project.error().find("before any newmtl"), std::string::npos) << project.error();
    }
    dir.Write("lib.mtl", "Kd 0 1 0\nrefl none.png\nnewmtl m\nKd 1 0 0\nmap_Kd none.png\n");
    std::vector<std::string> warnings;
    options.warnings = &warnings;
    const auto project = ImportModel(obj, options);
    ASSERT_TRUE(project.ok()) << (direct ? "direct: " : "assimp: ") << project.error();
  }
}

// Without the model importer (the Windows build) a file the host's own
// reader does not read is refused, naming the file and saying why, and
// nothing is read half: another format, an OBJ file the reader declines
// (the reason it declines comes along), and an OBJ file when the caller
// asks for the importer.
TEST(HostModelImport, WithoutTheModelImporterOtherFilesAreRefusedSayingWhy) {
  if (ModelImporterAvailable()) GTEST_SKIP() << "this build has the model importer (assimp)";
  TempDir dir;
  const std::string gltf = kData + "sign.gltf";
  const std::string tabs = dir.Write("tabs.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf\t1 2 3\n");
  ImportOptions importer;
  importer.directObj = false;
  struct Case {
    std::string path;
    ImportOptions options;
    std::string reason;
  };
  for (const Case& c : {Case{gltf, {}, "its format needs the model importer"},
                        Case{tabs, {}, "the host's OBJ reader does not read it: tabs or indented lines"},
                        Case{kData + "yard.obj", importer, "the caller asked for the model importer"}}) {
    SCOPED_TRACE(c.path);
    std::string fallback = "not asked";
    ImportOptions options = c.options;
    options.objFallback = &fallback;
    const auto r = LoadAnyFile(c.path, options);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().rfind(c.path + ": cannot read model (", 0), 0u) << r.error();
    EXPECT_NE(r.error().find(c.reason), std::string::npos) << r.error();
    EXPECT_NE(r.error().find("which the Windows build does not include"), std::string::npos) << r.error();
  }
  // What the host's reader does read opens as ever.
  EXPECT_TRUE(ImportModel(kData + "yard.obj").ok());
}

// The host's own reader of material libraries (the Windows build's) reads
// what it reproduces of assimp's reading and declines the rest, naming the
// library, the line and the statement; the file then goes to assimp, or,
// without it, is refused with that reason. What it reads gives the
// materials assimp gives (obj_reader_test reads every file both ways).
TEST(HostModelImport, TheOwnMaterialReaderDeclinesWhatItDoesNotReproduce) {
  TempDir dir;
  const std::string obj = dir.Write("lib.obj", "mtllib lib.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n");
  struct Case {
    const char* statement;
    const char* reason;
  };
  for (const Case& c : {Case{"Kd 0.5", "lib.mtl line 3: \"Kd\" without three plain numbers"},
                        Case{"map_Kd -s 2 2 2 wood.png", "lib.mtl line 3: \"map_Kd\" with options"},
                        Case{"d -halo 0.5", "lib.mtl line 3: \"d\" without one plain number"},
                        Case{"Ps 0.2", "lib.mtl line 3: \"Ps\" in a material library"}}) {
    SCOPED_TRACE(c.statement);
    dir.Write("lib.mtl", std::string("newmtl m\nKd 1 0 0\n") + c.statement + "\n");
    std::string fallback;
    ImportOptions options;
    options.ownMaterialReader = true;
    options.objFallback = &fallback;
    const auto r = ImportModel(obj, options);
    EXPECT_NE(fallback.find(c.reason), std::string::npos) << fallback;
    if (!ModelImporterAvailable()) {
      ASSERT_FALSE(r.ok());
      EXPECT_NE(r.error().find(c.reason), std::string::npos) << r.error();
    }
  }
  // Statements it reproduces, a second definition of a name and a library
  // found as the model's own name when the written one is missing.
  dir.Write("lib.mtl",
            "# made by hand\nKa 0.1 0.1 0.1\nnewmtl m\nKd 1 0 0\nTr 0.25\nPr 0.5\nillum 2\n"
            "map_Bump normal.png\nnewmtl n\nnewmtl m\nNs 20\n");
  const std::string other = dir.Write("other.obj", "mtllib gone.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl m\nf 1 2 3\n");
  dir.Write("other.mtl", "newmtl m\nKd 0 0 1\n");
  for (const std::string& path : {obj, other}) {
    SCOPED_TRACE(path);
    std::string fallback = "not asked";
    ImportOptions options;
    options.ownMaterialReader = true;
    options.objFallback = &fallback;
    const auto r = ImportModel(path, options);
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(fallback, "");
    const Material* m = MaterialNamed(r.value(), "m");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->surfaceColor.b, path == obj ? 0.0 : 1.0);
    if (path == obj) {
      EXPECT_EQ(m->transparency, 25);
      EXPECT_EQ(m->shininess, 5000) << "roughness 0.5";
    }
    if (ModelImporterAvailable()) {
      ImportOptions viaAssimp;
      viaAssimp.directObj = false;
      const auto assimp = ImportModel(path, viaAssimp);
      ASSERT_TRUE(assimp.ok()) << assimp.error();
      EXPECT_EQ(r->materials, assimp->materials);
      EXPECT_EQ(r.value(), assimp.value());
    }
  }
}

// The OBJ models the host's own reader reads are the same models on every
// platform, to the bit: the digests below are of assimp's import of the
// files on Linux (its texture pixels embedded, its paths left out), which
// the Linux build checks against assimp itself and the Windows build
// against its own reader of files and material libraries. A change to how
// a model is imported changes them: the failure prints the new digest.
std::uint64_t ProjectDigest(Project project) {
  for (Texture& t : project.textures) {
    t.filePath.clear();
    t.name.clear();
  }
  const std::string text = SerializeProject(project, "");
  std::uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
  for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

TEST(HostModelImport, ObjModelsAreTheSameModelsOnEveryPlatform) {
  struct Model {
    std::string path;
    std::uint64_t digest;
  };
  for (const Model& m : {Model{kData + "yard.obj", 0xcecd49e5fcbce433ull},
                         Model{std::string(HOSTMODEL_SAMPLES) + "house.obj", 0xcf0024dee66e1481ull}}) {
    SCOPED_TRACE(m.path);
    std::string fallback = "not asked";
    ImportOptions options;
    options.objFallback = &fallback;
    const auto direct = ImportModel(m.path, options);
    ASSERT_TRUE(direct.ok()) << direct.error();
    EXPECT_EQ(fallback, "") << "read by the host's own reader";
    EXPECT_EQ(ProjectDigest(direct.value()), m.digest) << std::hex << ProjectDigest(direct.value());
    if (ModelImporterAvailable()) {
      ImportOptions viaAssimp;
      viaAssimp.directObj = false;
      const auto assimp = ImportModel(m.path, viaAssimp);
      ASSERT_TRUE(assimp.ok()) << assimp.error();
      EXPECT_EQ(ProjectDigest(assimp.value()), m.digest);
    }
  }
}

}  // namespace
}  // namespace hostmodel
