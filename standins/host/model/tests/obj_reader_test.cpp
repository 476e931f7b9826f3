// The host's own OBJ reader against assimp's import of the same files: the
// model must be the same project, number for number (assimp's own number
// parsing included), with the same warnings; files the reader does not
// handle must reach assimp and open exactly as assimp opens them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "hostmodel/import.h"
#include "model_importer.h"
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

std::string FirstDifference(const Project& a, const Project& b);

// Also reads the file with the host's own reader of material libraries (the
// Windows build's, which has no assimp) and expects assimp's model again:
// the same project, or, where the own reader declines the file, assimp's
// reading of it all the same.
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
  ImportOptions own = direct;
  std::string ownFallback;
  own.objFallback = &ownFallback;
  own.warnings = nullptr;
  own.ownMaterialReader = true;
  const Result<Project> ownMaterials = ImportModel(path, own);
  EXPECT_EQ(ownMaterials.ok(), b.assimp.ok())
      << "own material reader: " << (ownMaterials.ok() ? b.assimp.error() : ownMaterials.error());
  if (ownMaterials.ok() && b.assimp.ok()) {
    EXPECT_EQ(FirstDifference(ownMaterials.value(), b.assimp.value()), "") << "own material reader";
  }
  // Where assimp's reader of libraries lets the direct reader read the
  // file, so does the host's own, unless it says why not.
  if (b.fallback.empty() && !ownFallback.empty()) ADD_FAILURE() << "own material reader declined: " << ownFallback;
  return b;
}

// Where two projects first differ, for a readable failure; empty when the
// projects are equal in every member.
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
        return x.name + ": vertex count " + std::to_string(p.vertices.size()) + " vs " +
               std::to_string(q.vertices.size());
      for (std::size_t v = 0; v < p.vertices.size(); ++v)
        if (!(p.vertices[v] == q.vertices[v])) return x.name + ": vertex " + std::to_string(v);
      if (p.vertexNormals != q.vertexNormals) return x.name + ": vertex normals";
      if (p.texCoords != q.texCoords) return x.name + ": texture coordinates";
      if (p.polygons.size() != q.polygons.size()) return x.name + ": polygon count";
      if (!(p == q)) return x.name + ": body data";
    }
    if (!(x == y)) return x.name + ": element data";
  }
  return a == b ? "" : "project data";
}

// A large file's text is read in parts on several threads. Cut into any
// number of parts, a file gives what it gives read in one: the same
// project, or the same reason to leave it to assimp.
void ExpectSameInParts(const std::string& path, int parts) {
  SCOPED_TRACE("in " + std::to_string(parts) + " parts");
  std::string whole = "not asked", cut = "not asked";
  ImportOptions one;
  one.objParts = 1;
  one.objFallback = &whole;
  ImportOptions many;
  many.objParts = parts;
  many.objFallback = &cut;
  const Result<Project> a = ImportModel(path, one);
  const Result<Project> b = ImportModel(path, many);
  EXPECT_EQ(cut, whole);
  ASSERT_EQ(a.ok(), b.ok()) << (a.ok() ? b.error() : a.error());
  if (a.ok()) {
    EXPECT_EQ(FirstDifference(b.value(), a.value()), "");
  } else {
    EXPECT_EQ(b.error(), a.error());
  }
}

void ExpectSameProject(const std::string& path, bool expectDirect) {
  SCOPED_TRACE(path);
  for (int parts : {2, 3, 7}) ExpectSameInParts(path, parts);
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
  HOSTMODEL_SKIP_WITHOUT_MODEL_IMPORTER("compares with assimp's import");
  ExpectSameProject(kData + "yard.obj", true);
  ExpectSameProject(kSamples + "house.obj", true);
}

// The forms that real files use, in one model: numbers with exponents, long
// fractions, signs, leading and trailing dots; negative (relative) indices;
// every corner form; a vertex line with blanks repeated; corners shared
// between faces and repeated values under different indices (joined like
// assimp's); materials switching back and forth inside an object and
// carried into the next object; faces before the first object; CR LF ends,
// comments, smoothing lines; -0; no line end at the end.
TEST(ObjReader, TheFormsRealFilesUseGiveAssimpsModel) {
  HOSTMODEL_SKIP_WITHOUT_MODEL_IMPORTER("compares with assimp's import");
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
      "f 3//1 4//1 1//1";
  ExpectSameProject(dir.Write("forms.obj", obj), true);

  // Without a material library, faces take assimp's default material.
  ExpectSameProject(dir.Write("plain.obj", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\no B\nf 4 3 2\n"), true);
}

// How exporters lay out objects, groups and materials, and what assimp
// makes of it: each file is read by the direct reader and gives assimp's
// project, warnings included.
TEST(ObjReader, ObjectsGroupsAndMaterialsAsExportersWriteThem) {
  HOSTMODEL_SKIP_WITHOUT_MODEL_IMPORTER("compares with assimp's import");
  TempDir dir;
  dir.Write("m.mtl",
            "newmtl Brick facade\nKd 0.7 0.3 0.2\nnewmtl Plain\nKd 0.5 0.5 0.5\nnewmtl Last\nKd 0.1 0.9 0.1\n");
  dir.Write("more.mtl", "newmtl Glass\nKd 0.8 0.9 1\nd 0.3\n");
  const std::string head =
      "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n"
      "vn 0 0 1\nvn 0 0 -1\nvn 1 0 0\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n";
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      // A modeller's export: objects, smoothing off and on, faces with all
      // three indices.
      {"modeller", head + "o Slab\ns 0\nusemtl Plain\nf 1/1/2 4/4/2 3/3/2 2/2/2\no Wall\ns 1\nusemtl Brick facade\n"
                          "f 1/1/3 2/2/3 6/3/3 5/4/3\nf 2/1/3 3/2/3 7/3/3\ns off\nf 7/1/1 6/2/1 2/3/1\n"},
      // Groups, named again as they go on (a new object each time the name
      // changes), several words in one name, a group without faces.
      {"groups", head + "g Wall one\nusemtl Plain\nf 1 2 3 4\ng Wall one\nusemtl Brick facade\nf 1 2 5\n"
                        "g Floor\nf 1 4 5\ng Empty\ng Wall one\nf 2 3 5\ng Floor\nf 5 6 7\n"},
      // Objects holding groups, and a group named like an object.
      {"objects with groups", head + "usemtl Plain\no House\ng walls\nf 1 2 6 5\ng roof\nf 5 6 7 8\n"
                                     "o Shed\nf 1 2 3\ng House\nf 2 3 4\n"},
      // Materials chosen before any object, changed twice without a face,
      // switched back, and a mesh without material that takes the next.
      {"materials first", head + "usemtl Plain\nusemtl Brick facade\no A\nf 1 2 3\nusemtl Plain\nusemtl Brick facade\n"
                                 "f 2 3 4\nusemtl Plain\nusemtl Last\nusemtl Plain\nf 1 3 4\no B\nf 5 6 7\n"},
      {"faces before any material", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\no A\nf 1 2 3\nusemtl Mine\nf 1 3 4\n"},
      // With libraries, faces before any material use take the one the
      // libraries defined last; naming it changes nothing.
      {"library's material",
       "mtllib m.mtl more.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3\nusemtl Glass\n"
       "f 1 3 4\no B\nusemtl Plain\nf 1 2 4\n"},
      // Names no library defines become materials of their own.
      {"unknown materials", head + "o A\nusemtl Nowhere\nf 1 2 3\nusemtl Plain\nf 1 3 4\nusemtl Elsewhere\nf 5 6 7\n"
                                   "usemtl Nowhere\nf 5 7 8\n"},
      // Faces with and without normals and coordinates in one mesh: the
      // triangles all carry normals, the quads do not all.
      {"mixed corners", head + "usemtl Plain\no A\nf 1/1/1 2/2/1 3/3/1\nf 1//1 3//1 4//1\nf 5 6 7 8\n"
                               "f 1/1 2/2 6/3 5/4\nf 2//3 3//3 7//3 6//3\nf 5/1/1 6/2/1 7/3/1\n"},
      {"mixed texture coordinates", head + "usemtl Plain\no A\nf 1/1 2/2 3/3\nf 1 3 4\nf 2 6 7 3\nf 5/1 6/2 7/3 8/4\n"},
      // A zero normal makes assimp drop the normals of its mesh.
      {"zero normal",
       head + "vn 0 0 0\nusemtl Plain\no A\nf 1//1 2//1 3//1\nf 1//4 3//4 4//4\nf 5//1 6//1 7//1 8//1\n"},
      // Outlines and points beside the faces: counted, left out.
      {"lines and points", head + "usemtl Plain\no A\nf 1 2 3\nl 1 2 3 4 1\np 5 6\no Edges\nl 5/1 6/2\nl -1 -2\n"},
      // Colours after the position: the host keeps none, and vertices
      // apart only by colour are joined.
      {"vertex colours",
       "v 0 0 0 1 0 0\nv 1 0 0 0 1 0\nv 1 1 0 0 0 1\nv 0 1 0 1 1 1\nv 0 0 0 0 0 0\n"
       "o A\nf 1 2 3\nf 5 3 4\n"},
      // Degenerate faces go as assimp removes them: a quad with a corner
      // twice, a triangle on a line, a sliver under a square millimetre
      // beside one just over; a larger polygon keeps a corner repeated
      // apart. The mesh that loses them keeps their share of vertices.
      {"degenerate faces",
       "v 0 0 0\nv 1 0 0\nv 2 0 0\nv 0 1 0\nv 1 1 0\nv 0.5 0.000001 0\nv 0.5 0.000003 0\n"
       "v 0.5 0.5 0\nv 0.25 0.75 0\no A\nf 1 2 2 4\nf 1 2 3\nf 1 2 6\nf 1 2 7\nf 1 2 5 4\n"
       "o B\nf 1 2 5 8 4 8 9\nf 2 5 4\no C\nf 1 2 3\nf 2 5 4\nf 1 2 5 4\n"},
      // Texture coordinates all alike are dropped, as assimp drops them.
      {"one texture coordinate", head + "usemtl Plain\no A\nf 1/1 2/1 3/1\nf 1/1 3/1 4/1\no B\nf 5/2 6/2 7/2 8/2\n"},
      // Normals a little apart at one place join, as assimp's tolerance
      // joins them; clearly apart they stay apart.
      {"normals a little apart",
       "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvn 0 0 1\nvn 0 0.000001 1\nvn 0 0.001 1\n"
       "o A\nf 1//1 2//1 3//1\nf 1//2 3//2 4//2\nf 1//3 3//3 4//3\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectSameProject(dir.Write(std::string(c.name) + ".obj", c.text), true);
  }
}

// assimp joins vertices a little apart (within 1e-5) only when its hash map
// happens to compare them, that is when their positions fall in one
// bucket. Forty objects, each with one vertex twice, a float apart: some
// pairs share a bucket and some do not, and the reader must join exactly
// the pairs assimp joins.
TEST(ObjReader, VerticesALittleApartJoinWhereAssimpsJoin) {
  HOSTMODEL_SKIP_WITHOUT_MODEL_IMPORTER("compares with assimp's import");
  TempDir dir;
  std::string text;
  for (int k = 0; k < 40; ++k) {
    const std::string y = std::to_string(k), y1 = std::to_string(k + 1);
    text += "v 0.25 " + y + " 0\nv 1 " + y + " 0\nv 1 " + y1 + " 0\nv 0.25000003 " + y + " 0\nv 0 " + y1 + " 0\n";
    text += "o Pair" + y + "\nf -5 -4 -3\nf -2 -3 -1\n";
  }
  const std::string path = dir.Write("apart.obj", text);
  Both b = ImportBoth(path);
  ASSERT_TRUE(b.assimp.ok() && b.direct.ok());
  EXPECT_EQ(b.fallback, "");
  EXPECT_EQ(FirstDifference(b.direct.value(), b.assimp.value()), "");
  std::size_t joined = 0, apart = 0;
  for (const Element& e : b.assimp->elements) (e.bodies.at(0).vertices.size() == 4 ? joined : apart) += 1;
  EXPECT_GT(joined, 0u) << "no pair shares a bucket: the file tests nothing";
  EXPECT_GT(apart, 0u) << "every pair shares a bucket: the file tests nothing";
}

// Numbers and indices of every length, around the eight characters the
// reader takes at once: whole parts and fractions of 0 to 17 digits,
// exponents, signs, indices up to the file's end. Each gives the number
// assimp reads. Indices padded with zeros, which assimp takes apart into
// several faces and points, are left to it.
TEST(ObjReader, NumbersAndIndicesOfEveryLengthReadAsAssimpReadsThem) {
  HOSTMODEL_SKIP_WITHOUT_MODEL_IMPORTER("compares with assimp's import");
  TempDir dir;
  std::mt19937 rng(5);
  auto digits = [&](int n) {
    std::string d;
    for (int i = 0; i < n; ++i) d += static_cast<char>('0' + std::uniform_int_distribution<int>(0, 9)(rng));
    return d;
  };
  std::string text;
  int vertices = 0;
  for (int whole = 1; whole <= 12; ++whole)
    for (int fraction = 0; fraction <= 17; ++fraction) {
      auto number = [&](int k) {
        std::string s = (k % 3 == 0 ? "-" : k % 5 == 0 ? "+" : "") + digits(whole);
        if (fraction > 0 || k % 2) s += "." + digits(fraction);
        if (k % 7 == 0) s += "e" + std::string(k % 2 ? "-" : "") + std::to_string(k % 4);
        return s;
      };
      text += "v " + number(whole) + " " + number(fraction) + " " + number(whole + fraction) + "\n";
      ++vertices;
    }
  for (int k = 0; k < 12; ++k) {
    text += "o Face" + std::to_string(k) + "\nf";
    for (int corner = 0; corner < 3; ++corner) text += " " + std::to_string((k * 7 + corner * 31) % vertices + 1);
    text += "\n";
  }
  // The last vertex's numbers, then the last face's indices, end the text.
  text += "v 1234567.12345678 0.5 1\nf 1 2 " + std::to_string(vertices + 1);
  ExpectSameProject(dir.Write("numbers.obj", text), true);
  for (const char* padded : {"f 01 2 3", "f 1/01 2/1 3/1", "f 1 2 00000003"})
    ExpectSameProject(dir.Write("padded.obj", std::string("v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\n") + padded + "\n"),
                      false);
}

// What the reader leaves to assimp: each file opens exactly as assimp
// opens it (or fails as it fails).
TEST(ObjReader, FilesItDoesNotHandleGoToAssimp) {
  HOSTMODEL_SKIP_WITHOUT_MODEL_IMPORTER("compares with assimp's import");
  TempDir dir;
  dir.Write("m.mtl", "newmtl A\nKd 1 0 0\nnewmtl B\nKd 0 1 0\n");
  const std::string quad = "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nvn 0 0 0\nvt 0.5 0.5\n";
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"leading dot", "v 0 0 0\nv 1 0 0\nv 1 2 .75\nf 1 2 3\n"},
      {"tab", quad + "usemtl A\nf\t1 2 3\n"},
      {"indented", quad + "usemtl A\n f 1 2 3\n"},
      {"blank after a name", quad + "usemtl A \nf 1 2 3\n"},
      {"repeated object", quad + "usemtl A\no X\nf 1 2 3\no Y\nf 1 3 4\no X\nf 2 3 4\n"},
      {"corners of different forms", quad + "usemtl A\nf 1 2/1 3\n"},
      {"colours on some vertices", "v 0 0 0 1 0 0\nv 1 0 0\nv 1 1 0 1 0 0\nf 1 2 3\n"},
      {"index out of range", quad + "usemtl A\nf 1 2 9\n"},
      {"index zero", quad + "usemtl A\nf 0 1 2\n"},
      {"not a number", "v 0 0 0\nv 1 nan 0\nv 1 1 0\nf 1 2 3\n"},
      {"huge integer", "v 0 0 0\nv 123456789012345678901234 0 0\nv 1 1 0\nf 1 2 3\n"},
      {"two-corner face", quad + "usemtl A\nf 1 2 3\nf 1 2\n"},
      {"continued line", quad + "usemtl A\nf 1 2 \\\n 3\n"},
      {"comment after a face", quad + "usemtl A\nf 1 2 3 # the first\n"},
      {"segment of no length", quad + "usemtl A\nf 1 2 3\nl 1 1\n"},
      {"library after a face", "v 0 0 0\nv 1 0 0\nv 1 1 0\nf 1 2 3\nmtllib m.mtl\nusemtl A\nf 1 3 2\n"},
      {"lines only", "v 0 0 0\nv 1 0 0\nv 1 1 0\nl 1 2 3 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write(std::string(c.name) + ".obj", c.text);
    for (int parts : {2, 5}) ExpectSameInParts(path, parts);
    Both b = ImportBoth(path);
    EXPECT_NE(b.fallback, "");
    ASSERT_EQ(b.direct.ok(), b.assimp.ok()) << (b.direct.ok() ? b.assimp.error() : b.direct.error());
    if (b.direct.ok()) {
      EXPECT_EQ(FirstDifference(b.direct.value(), b.assimp.value()), "");
      EXPECT_EQ(b.directWarnings, b.assimpWarnings);
    } else {
      EXPECT_EQ(b.direct.error(), b.assimp.error());
    }
  }
}

// Cut at every line: parts that begin with faces continuing an object of
// the part before, that change material or name an object again, that
// count indices back from the end, hold lines or colours, or reach for
// vertices defined only after them.
TEST(ObjReader, AFileReadInPartsIsTheFileReadWhole) {
  TempDir dir;
  dir.Write("m.mtl", "newmtl A\nKd 1 0 0\nnewmtl B\nKd 0 1 0\n");
  std::string body = "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvn 0 0 1\nvt 0 0\nvt 1 1\n";
  for (int k = 0; k < 6; ++k) {
    const std::string z = std::to_string(k);
    body += "v 0 0 " + z + "\nv 1 0 " + z + ".5\nv 1 1 " + z + "\n# object " + z + "\n";
    body += k % 2 ? "usemtl A\n" : "usemtl B\n";
    if (k != 2) body += "o Part" + z + "\n";
    body +=
        "f 1/1/1 2/2/1 3/1/1\ns 1\nf 1/1/1 3/2/1 4/1/1\n\ng Side " + z + "\nf 1 2 5\nf 2 6 7 3\nusemtl A\nf 5 6 7\n";
  }
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"plain", body},
      {"named again", body + "o Part1\nf 1 2 3\n"},
      {"counted back", body + "v 2 2 2\nf -1 -2 -3\n"},
      {"lines", body + "l 1 2 3\nf 3 4 1\n"},
      {"reaching ahead", body + "f 1 2 23\nv 5 5 5\n"},
      {"coloured", "v 0 0 0 1 0 0\nv 1 0 0 0 1 0\nv 1 1 0 0 0 1\no A\nf 1 2 3\nv 0 1 0 1 1 1\nf 1 3 4\n"},
      {"colours stop", "v 0 0 0 1 0 0\nv 1 0 0 0 1 0\nv 1 1 0 0 0 1\no A\nf 1 2 3\nv 0 1 0\nf 1 3 4\n"},
      {"library's material first",
       "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 1 1\n"
       "f 1 2 3\nf 1 3 4\no B\nusemtl A\nf 1 2 4\n"},
      {"faces before any object", "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3\nf 1 3 4\nf 2 3 4\nusemtl X\nf 1 2 4\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write(std::string(c.name) + ".obj", c.text);
    const auto lines = static_cast<int>(std::count(c.text.begin(), c.text.end(), '\n'));
    for (int parts = 2; parts <= 16; ++parts) ExpectSameInParts(path, parts);
    ExpectSameInParts(path, lines + 1);  // a part for every line
  }
}

// Truncated text never crashes the reader nor gives another model: cut a
// model that uses groups, materials, mixed corners and lines at every few
// bytes and read each piece.
TEST(ObjReader, EveryPrefixOfAModelReadsOrIsLeftToAssimp) {
  TempDir dir;
  fs::copy_file(kData + "yard.mtl", dir / "yard.mtl");
  fs::copy_file(kData + "checker.png", dir / "checker.png");
  const std::string text = testing::ReadFile(kData + "yard.obj") +
                           "g Extra part\nusemtl Glass\nf 1//1 2//1 3//1\nf 1 3 4\nl 1 2\nusemtl Wood\nf -3 -2 -1\n";
  for (std::size_t cut = 0; cut <= text.size(); cut += 23) {
    SCOPED_TRACE(cut);
    const std::string path = dir.Write("cut.obj", text.substr(0, cut));
    if (!ModelImporterAvailable()) {
      // Without assimp to compare with: a model that opens is consistent,
      // and one that does not says why.
      const auto r = ImportModel(path);
      if (r.ok()) {
        EXPECT_EQ(Validate(r.value()), "");
      } else {
        EXPECT_NE(r.error().find("cannot"), std::string::npos) << r.error();
      }
      continue;
    }
    Both b = ImportBoth(path);
    ASSERT_EQ(b.direct.ok(), b.assimp.ok()) << (b.direct.ok() ? b.assimp.error() : b.direct.error());
    if (b.direct.ok()) {
      EXPECT_EQ(FirstDifference(b.direct.value(), b.assimp.value()), "");
      EXPECT_EQ(b.directWarnings, b.assimpWarnings);
    }
  }
}

}  // namespace
}  // namespace hostmodel
