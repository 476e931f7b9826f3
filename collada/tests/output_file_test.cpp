// A failed export must never cost the user the document they had: every
// failure leaves the old destination byte-identical and no temporary file.
// How a platform makes a file read-only or holds it open is in
// posix/output_file_test_*.cpp and win/output_file_test_*.cpp.
#include "collada/output_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "collada/staged_export.h"
#include "output_file_support.h"

namespace {

using collada_test::kOld;
using collada_test::ReadFile;
using collada_test::StagedImages;
using collada_test::TempDir;
using collada_test::WriteDocument;

// A committed document replaces the old one; an abandoned one (an exception
// while writing) leaves the old one alone.
TEST(OutputFile, ReplacesTheDestinationOrLeavesItWhenAbandoned) {
  TempDir dir;
  std::string path = dir.File("House.dae");
  collada_test::WriteFile(path, kOld);
  {
    collada::OutputFile out;
    ASSERT_TRUE(out.Open(path));
    out.Write("partial");
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(out.TemporaryPath())));
  }
  EXPECT_EQ(ReadFile(path), kOld);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"House.dae"});
  ASSERT_TRUE(WriteDocument(path, 3 << 20));
  std::string now = ReadFile(path);
  EXPECT_EQ(now.size(), (3u << 20) / 100000 * 100000 + 100000 + 5);
  EXPECT_EQ(now.substr(now.size() - 5), "end\r\n");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"House.dae"});
}

// Destinations no document can take: a missing folder, a folder in the
// document's place, no name at all. Each is said in the user's words and
// leaves nothing behind.
TEST(OutputFile, DestinationsThatCannotBeWrittenAreRefusedBeforeAnyByte) {
  TempDir dir;
  std::string error;
  const std::string missing = dir.File("gone");
  EXPECT_FALSE(WriteDocument(missing + "/House.dae", 1000, &error));
  EXPECT_EQ(error.rfind("cannot create a file in " + missing + ": ", 0), 0u) << error;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(missing)));

  std::filesystem::create_directory(std::filesystem::u8path(dir.File("House.dae")));
  EXPECT_FALSE(WriteDocument(dir.File("House.dae"), 1000, &error));
  EXPECT_EQ(error.rfind("the destination is a folder: ", 0), 0u) << error;
  collada::StagedExport staged;
  EXPECT_FALSE(staged.Begin(dir.File("House.dae")));
  EXPECT_EQ(staged.Error(), "the destination is a folder");

  EXPECT_FALSE(WriteDocument(dir.File(""), 1000, &error));
  EXPECT_EQ(error.rfind("no file name in the destination: ", 0), 0u) << error;
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"House.dae"});
}

TEST(StagedExport, ImagesJoinTheTextureFolderWithTheDocument) {
  StagedImages s;
  {
    collada::StagedExport staged;
    ASSERT_TRUE(staged.Begin(s.document)) << staged.Error();
    EXPECT_EQ(staged.TextureFolder(), s.textures);
    StagedImages::WriteImages(staged);
    EXPECT_EQ(ReadFile(s.textures + "/a.jpg"), "old a");  // nothing moves before the document is done
    collada::OutputFile out;
    ASSERT_TRUE(out.Open(s.document));
    out.Write("new document");
    ASSERT_TRUE(staged.Place(out)) << staged.Error();
  }
  EXPECT_EQ(ReadFile(s.document), "new document");
  EXPECT_EQ(ReadFile(s.textures + "/a.jpg"), "new a");
  EXPECT_EQ(ReadFile(s.textures + "/b.jpg"), "new b");
  EXPECT_EQ(ReadFile(s.textures + "/notes.txt"), "the user's");
  EXPECT_EQ(s.dir.Entries(), (std::vector<std::string>{"House.dae", "House_Textures"}));

  // Without a texture folder the staged one becomes it, whole.
  std::filesystem::remove_all(std::filesystem::u8path(s.textures));
  {
    collada::StagedExport staged;
    ASSERT_TRUE(staged.Begin(s.document)) << staged.Error();
    StagedImages::WriteImages(staged);
    collada::OutputFile out;
    ASSERT_TRUE(out.Open(s.document));
    out.Write("second document");
    ASSERT_TRUE(staged.Place(out)) << staged.Error();
  }
  EXPECT_EQ(ReadFile(s.document), "second document");
  EXPECT_EQ(ReadFile(s.textures + "/b.jpg"), "new b");
  EXPECT_EQ(s.dir.Entries(), (std::vector<std::string>{"House.dae", "House_Textures"}));
}

TEST(StagedExport, ADocumentThatCannotTakeItsPlaceTakesTheImagesBack) {
  StagedImages s;
  {
    collada::StagedExport staged;
    ASSERT_TRUE(staged.Begin(s.document)) << staged.Error();
    StagedImages::WriteImages(staged);
    collada::OutputFile out;
    ASSERT_TRUE(out.Open(s.document));
    out.Write("new document");
    // Something the document cannot replace comes into its place.
    std::filesystem::remove(std::filesystem::u8path(s.document));
    std::filesystem::create_directories(std::filesystem::u8path(s.document + "/in the way"));
    EXPECT_FALSE(staged.Place(out));
    EXPECT_NE(staged.Error().find("cannot be replaced"), std::string::npos) << staged.Error();
  }
  EXPECT_EQ(ReadFile(s.textures + "/a.jpg"), "old a");
  EXPECT_EQ(ReadFile(s.textures + "/notes.txt"), "the user's");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(s.textures + "/b.jpg")));
  EXPECT_EQ(s.dir.Entries(), (std::vector<std::string>{"House.dae", "House_Textures"}));

  // No texture folder yet: the staged one would have become it, and goes.
  std::filesystem::remove_all(std::filesystem::u8path(s.textures));
  {
    collada::StagedExport staged;
    ASSERT_TRUE(staged.Begin(s.document + "x")) << staged.Error();
  }
  EXPECT_EQ(s.dir.Entries(), (std::vector<std::string>{"House.dae"}));
}

}  // namespace
