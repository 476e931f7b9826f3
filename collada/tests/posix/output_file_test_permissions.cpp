// Linux's side of the output file's promise: a replaced document keeps its
// mode, and a folder the user may not write keeps its document.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "output_file_support.h"

namespace {

using collada_test::kOld;
using collada_test::ReadFile;
using collada_test::TempDir;
using collada_test::WriteDocument;

// Runs fn in a child process (to change its user) and returns its exit code.
template <typename Fn>
int InChild(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

TEST(OutputFilePosix, AReplacedDocumentKeepsItsPermissions) {
  TempDir dir;
  const std::string path = dir.File("House.dae");
  collada_test::WriteFile(path, kOld);
  chmod(path.c_str(), 0640);
  ASSERT_TRUE(WriteDocument(path, 1000));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // A document the user may not write is still replaced where the folder
  // may be written, as a save in place replaces it, and stays read-only.
  chmod(path.c_str(), 0444);
  ASSERT_TRUE(WriteDocument(path, 1000));
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  EXPECT_EQ(ReadFile(path).substr(ReadFile(path).size() - 5), "end\r\n");
}

// (A file-size limit is the export's own test, through the host.)
TEST(OutputFilePosix, AReadOnlyFolderKeepsTheOldDocumentAndTakesNoTemporaryFile) {
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

}  // namespace
