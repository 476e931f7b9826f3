// What the output file's tests on every platform share: the old document,
// a document written whole, and a destination with a texture folder whose
// images an export replaces.
#pragma once

#include <filesystem>
#include <string>

#include "collada/output_file.h"
#include "collada/staged_export.h"
#include "document_check.h"

namespace collada_test {

inline const std::string kOld = "old document\r\n";

inline bool WriteDocument(const std::string& path, std::size_t bytes, std::string* error = nullptr) {
  collada::OutputFile out;
  if (!out.Open(path)) {
    if (error != nullptr) *error = out.Error();
    return false;
  }
  const std::string chunk(100000, 'x');
  for (std::size_t written = 0; written < bytes; written += chunk.size()) out.Write(chunk);
  out.Line("end");
  const bool ok = out.Commit();
  if (error != nullptr) *error = out.Error();
  return ok;
}

// The images an export writes wait in the staging folder; with the
// document they go into the texture folder, whose other files stay.
struct StagedImages {
  TempDir dir;
  std::string document = dir.File("House.dae");
  std::string textures = dir.File("House_Textures");
  StagedImages() {
    WriteFile(document, kOld);
    std::filesystem::create_directory(std::filesystem::u8path(textures));
    WriteFile(textures + "/a.jpg", "old a");
    WriteFile(textures + "/notes.txt", "the user's");
  }
  // What the image writer does with the staged document path.
  static void WriteImages(const collada::StagedExport& staged) {
    const std::string folder =
        staged.StagedDocumentPath().substr(0, staged.StagedDocumentPath().rfind('/')) + "/House_Textures";
    std::filesystem::create_directory(std::filesystem::u8path(folder));
    WriteFile(folder + "/a.jpg", "new a");
    WriteFile(folder + "/b.jpg", "new b");
  }
  // The destination exactly as it was before the export.
  void ExpectUntouched() const {
    EXPECT_EQ(ReadFile(document), kOld);
    EXPECT_EQ(ReadFile(textures + "/a.jpg"), "old a");
    EXPECT_EQ(ReadFile(textures + "/notes.txt"), "the user's");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(textures + "/b.jpg")));
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"House.dae", "House_Textures"}));
  }
};

}  // namespace collada_test
