// The canonical form's texture digest of a surface whose texture is named
// by path. The path comes from shared memory that any process of the user
// may write: a FIFO there must not block the reader, a device must not
// keep it reading for ever, and a regular file is digested whole.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "isolation.h"
#include "livelink/canonical_scene.h"
#include "test_temp_dir.h"

using namespace CorvantaAPI;
using livelink_test::UniqueName;

namespace {

// A creator with one surface whose texture is the file at path, and a
// guest reading it.
CanonicalScene ReadSurfaceNaming(const std::string& path) {
  const std::u16string name = UniqueName("canonical");
  LiveConnection creator;
  EXPECT_EQ(creator.Create(name, 4), CreateResult::kOk);
  auto* surface = reinterpret_cast<SurfaceRecord*>(creator.CreateRecord(kTypeSurface));
  EXPECT_NE(surface, nullptr);
  const std::u16string wide(path.begin(), path.end());
  wide.copy(surface->texturePath, kSurfaceTextUnits - 1);
  surface->textureStamp = 1;
  LiveConnection guest;
  EXPECT_EQ(guest.Open(name), 0);
  return ReadCanonicalScene(guest, 0);
}

}  // namespace

TEST(CanonicalSceneTest, TextureFilesThatAreNotRegularFilesAreProblemsNotHangs) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows: no FIFO or endless device stands behind a path of a file's form";
#else
  livelink_test::Isolated();
  testsupport::TempDir dir("canonical");
  const std::string fifo = dir / "pipe.png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero")}) {
    const CanonicalScene scene = ReadSurfaceNaming(path);
    ASSERT_EQ(scene.surfaces.size(), 1u) << path;
    EXPECT_EQ(scene.surfaces[0].material.textureDigest, 0u) << path;
    ASSERT_EQ(scene.problems.size(), 1u) << path;
    EXPECT_NE(scene.problems[0].find("not a regular file"), std::string::npos) << scene.problems[0];
  }
#endif
}

TEST(CanonicalSceneTest, RegularTextureFilesAreDigestedWhole) {
  livelink_test::Isolated();
  testsupport::TempDir dir("canonical");
  // Two files that differ only in their last byte, past the first read.
  const std::string body(200000, 'x');
  const CanonicalScene a = ReadSurfaceNaming(dir.Write("a.png", body + "a"));
  const CanonicalScene b = ReadSurfaceNaming(dir.Write("b.png", body + "b"));
  ASSERT_EQ(a.surfaces.size(), 1u);
  ASSERT_EQ(b.surfaces.size(), 1u);
  EXPECT_TRUE(a.problems.empty());
  EXPECT_NE(a.surfaces[0].material.textureDigest, 0u);
  EXPECT_NE(a.surfaces[0].material.textureDigest, b.surfaces[0].material.textureDigest);
  const CanonicalScene missing = ReadSurfaceNaming(dir / "missing.png");
  ASSERT_EQ(missing.problems.size(), 1u);
  EXPECT_NE(missing.problems[0].find("cannot read"), std::string::npos);
}
