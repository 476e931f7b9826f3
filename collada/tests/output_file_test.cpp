// A failed export must never cost the user the document they had: every
// failure leaves the old destination byte-identical and no temporary file.
#include "collada/output_file.h"
#include "collada/staged_export.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "document_check.h"

namespace {

using collada_test::ReadFile;
using collada_test::TempDir;

const std::string kOld = "old document\r\n";

bool WriteDocument(const std::string& path, std::size_t bytes) {
  collada::OutputFile out;
  if (!out.Open(path)) return false;
  const std::string chunk(100000, 'x');
  for (std::size_t written = 0; written < bytes; written += chunk.size()) out.Write(chunk);
  out.Line("end");
  return out.Commit();
}

// Runs fn in a child process (to change its user) and returns its exit code.
template <typename Fn>
int InChild(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// A committed document replaces the old one and keeps its permissions; an
// abandoned one (an exception while writing) leaves the old one alone.
TEST(OutputFile, ReplacesTheDestinationKeepingItsPermissionsOrLeavesItWhenAbandoned) {
  TempDir dir;
  std::string path = dir.File("House.dae");
  collada_test::WriteFile(path, kOld);
  {
    collada::OutputFile out;
    ASSERT_TRUE(out.Open(path));
    out.Write("partial");
    EXPECT_TRUE(std::filesystem::exists(out.TemporaryPath()));
  }
  EXPECT_EQ(ReadFile(path), kOld);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"House.dae"});
  chmod(path.c_str(), 0640);
  ASSERT_TRUE(WriteDocument(path, 3 << 20));
  std::string now = ReadFile(path);
  EXPECT_EQ(now.size(), (3u << 20) / 100000 * 100000 + 100000 + 5);
  EXPECT_EQ(now.substr(now.size() - 5), "end\r\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"House.dae"});
}

// (A file-size limit, a missing folder and a folder in the document's place
// are the export's own tests, through the host.)
TEST(OutputFile, AReadOnlyFolderKeepsTheOldDocumentAndTakesNoTemporaryFile) {
  // Root may write anywhere, so the child gives up its rights first.
  TempDir dir;
  std::string ro = dir.File("ro");
  std::filesystem::create_directory(ro);
  collada_test::WriteFile(ro + "/House.dae", kOld);
  chmod(ro.c_str(), 0555);
  const int code = InChild([&] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 3;
    return WriteDocument(ro + "/House.dae", 1000) ? 1 : 0;
  });
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadFile(ro + "/House.dae"), kOld);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ro), std::filesystem::directory_iterator()), 1);
}

// The images an export writes wait in the staging folder; with the
// document they go into the texture folder, whose other files stay.
struct StagedImages {
  TempDir dir;
  std::string document = dir.File("House.dae");
  std::string textures = dir.File("House_Textures");
  StagedImages() {
    collada_test::WriteFile(document, kOld);
    std::filesystem::create_directory(textures);
    collada_test::WriteFile(textures + "/a.jpg", "old a");
    collada_test::WriteFile(textures + "/notes.txt", "the user's");
  }
  // What the image writer does with the staged document path.
  static void WriteImages(const collada::StagedExport& staged) {
    const std::string folder = staged.StagedDocumentPath().substr(0, staged.StagedDocumentPath().rfind('/')) +
                               "/House_Textures";
    std::filesystem::create_directory(folder);
    collada_test::WriteFile(folder + "/a.jpg", "new a");
    collada_test::WriteFile(folder + "/b.jpg", "new b");
  }
};

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
    std::filesystem::remove(s.document);
    std::filesystem::create_directories(s.document + "/in the way");
    EXPECT_FALSE(staged.Place(out));
    EXPECT_NE(staged.Error().find("cannot be replaced"), std::string::npos) << staged.Error();
  }
  EXPECT_EQ(ReadFile(s.textures + "/a.jpg"), "old a");
  EXPECT_EQ(ReadFile(s.textures + "/notes.txt"), "the user's");
  EXPECT_FALSE(std::filesystem::exists(s.textures + "/b.jpg"));
  EXPECT_EQ(s.dir.Entries(), (std::vector<std::string>{"House.dae", "House_Textures"}));

  // No texture folder yet: the staged one would have become it, and goes.
  std::filesystem::remove_all(s.textures);
  {
    collada::StagedExport staged;
    ASSERT_TRUE(staged.Begin(s.document + "x")) << staged.Error();
  }
  EXPECT_EQ(s.dir.Entries(), (std::vector<std::string>{"House.dae"}));
}

}  // namespace
