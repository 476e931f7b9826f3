// Windows' side of the output file's promise. A document is read-only by
// its attribute, and another program may hold a document or an image open
// without letting it be replaced (a viewer that shows it): in each case the
// export fails with the system's own reason and the destination and its
// texture folder stay exactly as they were.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "base/utf.h"
#include "base/windows_text.h"
#include "export_files.h"
#include "output_file_support.h"

namespace {

using collada_test::kOld;
using collada_test::ReadFile;
using collada_test::StagedImages;
using collada_test::TempDir;
using collada_test::WriteDocument;

std::wstring Wide(const std::string& path) { return base::ToWide(base::FromUtf8(path)); }

DWORD Attributes(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()); }

// Another program's handle that lets others read the file but neither
// write, delete nor rename it.
class HeldOpen {
 public:
  explicit HeldOpen(const std::string& path)
      : handle_(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~HeldOpen() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  bool Held() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// The reason after "what: " is the system's text for one of codes.
void ExpectReason(const std::string& error, const std::string& what, std::initializer_list<DWORD> codes) {
  ASSERT_EQ(error.rfind(what + ": ", 0), 0u) << error;
  const std::string reason = error.substr(what.size() + 2, error.find(';') - what.size() - 2);
  bool known = false;
  for (DWORD code : codes) known = known || reason == collada::files::ErrorText(code);
  EXPECT_TRUE(known) << error;
}

TEST(OutputFileWindows, AReadOnlyDocumentIsKeptWithoutWritingAByte) {
  TempDir dir;
  const std::string path = dir.File("House.dae");
  collada_test::WriteFile(path, kOld);
  ASSERT_TRUE(SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_READONLY));
  std::string error;
  EXPECT_FALSE(WriteDocument(path, 1000, &error));
  ExpectReason(error, "the existing file cannot be replaced", {ERROR_ACCESS_DENIED});
  EXPECT_EQ(ReadFile(path), kOld);
  EXPECT_NE(Attributes(path) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"House.dae"});
}

// The temporary file is hidden while it is written; the document it
// becomes shows as the one it replaced did.
TEST(OutputFileWindows, TheDocumentTakesTheAttributesOfTheOneItReplaces) {
  TempDir dir;
  const std::string fresh = dir.File("New.dae");
  ASSERT_TRUE(WriteDocument(fresh, 1000));
  EXPECT_EQ(Attributes(fresh) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY), 0u);
  const std::string hidden = dir.File("Hidden.dae");
  collada_test::WriteFile(hidden, kOld);
  ASSERT_TRUE(SetFileAttributesW(Wide(hidden).c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(WriteDocument(hidden, 1000));
  EXPECT_NE(Attributes(hidden) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_NE(ReadFile(hidden), kOld);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"Hidden.dae", "New.dae"}));
}

// A path near MAX_PATH: the document's name fits, its temporary name beside
// it (some 27 characters longer) may not. Whatever the system allows, the
// document is replaced whole or kept as it was, and nothing is left beside.
TEST(OutputFileWindows, ADocumentNearThePathLimitIsReplacedWholeOrKept) {
  TempDir dir;
  std::string folder = dir.File("");  // ends in the separator
  while (folder.size() < MAX_PATH - 20) {
    folder += std::string(std::min<std::size_t>(40, MAX_PATH - 20 - folder.size() + 1), 'd') + "\\";
    ASSERT_TRUE(CreateDirectoryW(Wide(folder).c_str(), nullptr)) << folder;
  }
  const std::string path = folder + "House.dae";
  ASSERT_LT(path.size(), std::size_t{MAX_PATH});
  collada_test::WriteFile(path, kOld);
  ASSERT_EQ(ReadFile(path), kOld);
  std::string error;
  const bool written = WriteDocument(path, 1000, &error);
  if (written) {
    EXPECT_EQ(ReadFile(path).substr(ReadFile(path).size() - 5), "end\r\n");
  } else {
    EXPECT_EQ(error.rfind("cannot create a file in ", 0), 0u) << error;
    EXPECT_EQ(ReadFile(path), kOld);
  }
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(folder))) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1u) << (written ? "replaced" : error);
}

TEST(StagedExportWindows, ADocumentAnotherProgramHoldsStaysAndTheImagesGoBack) {
  StagedImages s;
  {
    collada::StagedExport staged;
    ASSERT_TRUE(staged.Begin(s.document)) << staged.Error();
    StagedImages::WriteImages(staged);
    collada::OutputFile out;
    ASSERT_TRUE(out.Open(s.document));
    out.Write("new document");
    HeldOpen viewer(s.document);
    ASSERT_TRUE(viewer.Held());
    EXPECT_FALSE(staged.Place(out));
    ExpectReason(staged.Error(), "the existing file cannot be replaced",
                 {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED});
  }
  s.ExpectUntouched();
}

TEST(StagedExportWindows, AnImageAnotherProgramHoldsStopsThePlacingAndEverythingGoesBack) {
  StagedImages s;
  {
    collada::StagedExport staged;
    ASSERT_TRUE(staged.Begin(s.document)) << staged.Error();
    StagedImages::WriteImages(staged);
    collada::OutputFile out;
    ASSERT_TRUE(out.Open(s.document));
    out.Write("new document");
    HeldOpen viewer(s.textures + "/a.jpg");
    ASSERT_TRUE(viewer.Held());
    EXPECT_FALSE(staged.Place(out));
    ExpectReason(staged.Error(), "cannot replace " + s.textures + "\\a.jpg",
                 {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED});
  }
  s.ExpectUntouched();
}

}  // namespace
