// The host's own OBJ reader against assimp's import of the same files: the
// model must be the same project, number for number (assimp's own number
// parsing included), and files the reader does not handle must reach assimp.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "hostmodel/import.h"
#include "temp_dir.h"

namespace hostmodel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

const std::string kData = HOSTMODEL_TEST_DATA;
const std::string kSamples = HOSTMODEL_SAMPLES;

struct Both {
  Result<Project> direct = Result<Project>::Fail("not read");
  Result<Project> assimp = Result<Project>::Fail("not read");
  std::string fallback = "not asked";
  std::vector<std::string> directWarnings, assimpWarnings;
};

Both ImportBoth(const std::string& path) {
  Both b;
  ImportOptions direct;
  direct.objFallback = &b.fallback;
  direct.warnings = &b.directWarnings;
  b.direct = ImportModel(path, direct);
  ImportOptions viaAssimp;
  viaAssimp.directObj = false;
  viaAssimp.warnings = &b.assimpWarnings;
  b.assimp = ImportModel(path, viaAssimp);
  return b;
}

// Where two projects first differ, for a readable failure.
std::string FirstDifference(const Project& a, const Project& b) {
  if (a.materials != b.materials) return "materials";
  if (a.textures.size() != b.textures.size()) return "texture count";
  if (a.elements.size() != b.elements.size())
    return "element count " + std::to_string(a.elements.size()) + " vs " + std::to_string(b.elements.size());
  for (std::size_t i = 0; i < a.elements.size(); ++i) {
    const Element& x = a.elements[i];
    const Element& y = b.elements[i];
    if (x.name != y.name) return "element " + std::to_string(i) + " name " + x.name + " vs " + y.name;
    if (x.bodies.size() != y.bodies.size()) return x.name + ": body count";
    for (std::size_t k = 0; k < x.bodies.size(); ++k) {
      const Body& p = x.bodies[k];
      const Body& q = y.bodies[k];
      if (p.vertices.size() != q.vertices.size())
        return x.name + ": vertex count " + std::to_string(p.vertices.size()) + " vs " + std::to_string(q.vertices.size());
      for (std::size_t v = 0; v < p.vertices.size(); ++v)
        if (!(p.vertices[v] == q.vertices[v])) return x.name + ": vertex " + std::to_string(v);
      if (p.polygons.size() != q.polygons.size()) return x.name + ": polygon count";
      if (!(p == q)) return x.name + ": body data";
    }
    if (!(x == y)) return x.name + ": element data";
  }
  return a == b ? "" : "project data";
}

void ExpectSameProject(const std::string& path, bool expectDirect) {
  SCOPED_TRACE(path);
  Both b = ImportBoth(path);
  ASSERT_TRUE(b.assimp.ok()) << b.assimp.error();
  ASSERT_TRUE(b.direct.ok()) << b.direct.error();
  if (expectDirect) {
    EXPECT_EQ(b.fallback, "") << "the direct reader left the file to assimp";
  } else {
    EXPECT_NE(b.fallback, "") << "the direct reader read a file it should leave to assimp";
  }
  EXPECT_EQ(FirstDifference(b.direct.value(), b.assimp.value()), "");
  EXPECT_EQ(b.directWarnings, b.assimpWarnings);
}

TEST(ObjReader, ReadsTheTestAndSampleModelsAsAssimpDoes) {
  ExpectSameProject(kData + "yard.obj", true);
  ExpectSameProject(kSamples + "house.obj", true);
}

// The forms that real files use, in one model: numbers with exponents, long
// fractions, signs, leading and trailing dots; negative (relative) indices;
// every corner form; a vertex line with blanks repeated; corners shared between faces and repeated values under
// different indices (joined like assimp's); materials switching back and
// forth inside an object and carried into the next object; faces before
// the first object; CR LF ends, tabs, comments, smoothing lines; -0.
TEST(ObjReader, TheFormsRealFilesUseGiveAssimpsModel) {
  TempDir dir;
  dir.Write("forms.mtl",
            "newmtl Red\nKd 0.8 0.1 0.1\nNs 96.078431\n\n"
            "newmtl Blue\nKd 0.1 0.1 0.8\nd 0.5\nKs 0.5 0.5 0.5\n\n"
            "newmtl Tex\nKd 1 1 1\nmap_Kd missing_image.png\n");
  std::string obj =
      "# exported by hand\r\n"
      "mtllib forms.mtl\r\n"
      "v 0 0 0\r\nv 1.0 0 0\r\nv 1 1 0\r\nv 0 1. 0\r\n"
      "v 0.333333333333333333 2.5e-1 -0.0\r\n"
      "v 1.234567891234e2   -3.5E+1  0.75\r\n"
      "v -12.75 4.0e-3 +7\r\n"
      "v 2 2 2\r\nv 3 2 2\r\nv 3 3 2\r\nv 2 3 2\r\n"
      "v 0 0 0\r\n"  // the same place as vertex 1, under another number
      "vt 0 0\r\nvt 1 0\r\nvt 1 1 0.5\r\nvt 0 1\r\n"
      "vn 0 0 1\r\nvn 0 0.70710678118 0.70710678118\r\nvn -0 0 1\r\n"
      "usemtl Red\r\n"
      "f 1 2 3\r\n"  // before any object
      "o First\r\n"
      "s 1\r\n"
      "f 1/1/1 2/2/1 3/3/2 4/4/2\r\n"
      "f 12/1/3 3/3/1 4/4/1\r\n"
      "usemtl Blue\r\n"
      "f 5//1 6//2 7//1\r\n"
      "usemtl Red\r\n"
      "f -4 -3 -2 -1\r\n"
      "s off\r\n"
      "o Second\r\n"
      "f 8/1 9/2 10/3 11/4\r\n"  // Red still
      "usemtl Tex\r\n"
      "f 8/1 10/3 11/4\r\n"
      "o Empty\r\n"
      "o Third\r\n"
      "usemtl Blue\r\n"
      "f 1//1 2//1 3//1\n"
      "f 3//1 4//1 1//1";  // no line end at the file's end
  ExpectSameProject(dir.Write("forms.obj", obj), true);

  // Groups, named again as they go on, and material names of several words.
  dir.Write("groups.mtl", "newmtl Brick facade\nKd 0.7 0.3 0.2\nnewmtl Plain\nKd 0.5 0.5 0.5\n");
  ExpectSameProject(dir.Write("groups.obj",
                              "mtllib groups.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\n"
                              "g Wall one\nusemtl Plain\nf 1 2 3 4\ng Wall one\nusemtl Brick facade\nf 1 2 5\n"
                              "g Floor\nf 1 4 5\nf 2 3 5\n"),
                    true);

  // Without a material library, faces take assimp's default material.
  ExpectSameProject(dir.Write("plain.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\no B\nf 4 3 2\n"), true);
}

// What the reader leaves to assimp: each file opens exactly as assimp
// opens it (or fails as it fails).
TEST(ObjReader, FilesItDoesNotHandleGoToAssimp) {
  TempDir dir;
  dir.Write("m.mtl", "newmtl A\nKd 1 0 0\nnewmtl B\nKd 0 1 0\n");
  const std::string quad = "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nvn 0 0 0\nvt 0.5 0.5\n";
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"objects and groups", quad + "usemtl A\no X\nf 1 2 3\ng grp\nf 1 2 3\n"},
      {"group in an empty object", quad + "usemtl A\ng X\ng grp\nf 1 2 3\n"},
      {"group named again later", quad + "usemtl A\ng X\nf 1 2 3\ng Y\nf 1 3 4\ng X\nf 2 3 4\n"},
      {"leading dot", "v 0 0 0\nv 1 0 0\nv 1 2 .75\nf 1 2 3\n"},
      {"tab", quad + "usemtl A\nf\t1 2 3\n"},
      {"indented", quad + "usemtl A\n f 1 2 3\n"},
      {"blank after a name", quad + "usemtl A \nf 1 2 3\n"},
      {"lines", quad + "usemtl A\nf 1 2 3\nl 1 5\n"},
      {"points", quad + "usemtl A\nf 1 2 3\np 5\n"},
      {"repeated object", quad + "usemtl A\no X\nf 1 2 3\no Y\nf 1 3 4\no X\nf 2 3 4\n"},
      {"unknown material", quad + "usemtl Nowhere\nf 1 2 3\n"},
      {"face before material", quad + "f 1 2 3\n"},
      {"corner twice", quad + "usemtl A\nf 1 2 2 3\n"},
      {"no area", "v 0 0 0\nv 1 0 0\nv 2 0 0\nv 0 1 0\nf 1 2 3\nf 1 2 4\n"},
      {"zero normal", quad + "usemtl A\nf 1//1 2//1 3//1\n"},
      {"one texture coordinate", quad + "usemtl A\nf 1/1 2/1 3/1\n"},
      {"mixed corners", quad + "usemtl A\nf 1 2/1 3\n"},
      {"vertex colours", "v 0 0 0 1 0 0\nv 1 0 0 1 0 0\nv 1 1 0 1 0 0\nf 1 2 3\n"},
      {"index out of range", quad + "usemtl A\nf 1 2 9\n"},
      {"index zero", quad + "usemtl A\nf 0 1 2\n"},
      {"not a number", "v 0 0 0\nv 1 nan 0\nv 1 1 0\nf 1 2 3\n"},
      {"huge integer", "v 0 0 0\nv 123456789012345678901234 0 0\nv 1 1 0\nf 1 2 3\n"},
      {"two-corner face", quad + "usemtl A\nf 1 2\n"},
      {"continued line", quad + "usemtl A\nf 1 2 \\\n 3\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write(std::string(c.name) + ".obj", c.text);
    Both b = ImportBoth(path);
    EXPECT_NE(b.fallback, "");
    ASSERT_EQ(b.direct.ok(), b.assimp.ok()) << (b.direct.ok() ? b.assimp.error() : b.direct.error());
    if (b.direct.ok()) {
      EXPECT_EQ(FirstDifference(b.direct.value(), b.assimp.value()), "");
    } else {
      EXPECT_EQ(b.direct.error(), b.assimp.error());
    }
  }
}

// Truncated and hostile text never crashes the reader: cut the test model
// at every few bytes and read each piece.
TEST(ObjReader, EveryPrefixOfAModelReadsOrIsLeftToAssimp) {
  TempDir dir;
  fs::copy_file(kData + "yard.mtl", dir / "yard.mtl");
  fs::copy_file(kData + "checker.png", dir / "checker.png");
  const std::string text = testing::ReadFile(kData + "yard.obj");
  for (std::size_t cut = 0; cut < text.size(); cut += 37) {
    SCOPED_TRACE(cut);
    const std::string path = dir.Write("cut.obj", text.substr(0, cut));
    Both b = ImportBoth(path);
    ASSERT_EQ(b.direct.ok(), b.assimp.ok()) << (b.direct.ok() ? b.assimp.error() : b.direct.error());
    if (b.direct.ok()) {
      EXPECT_EQ(FirstDifference(b.direct.value(), b.assimp.value()), "");
    }
  }
}

}  // namespace
}  // namespace hostmodel
