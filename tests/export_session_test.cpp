// The COLLADA export as a user meets it in hostsim with the add-on.
// What the document holds is the COLLADA tests' matter; here: the user's
// message box, the status bar, the host's error code and the files left.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "session_env.h"

namespace {

using namespace system_test;

// Every entry below folder (hidden ones too) with its content; folders as
// "<folder>". Two equal snapshots: the same files, byte for byte.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string name = fs::relative(e.path(), folder).string();
    entries[name] = e.is_directory() ? std::string("<folder>") : ReadAll(e.path().string());
  }
  return entries;
}

std::string LastStatus(const Run& r) {
  return r.Of("statusbar").empty() ? "" : r.Of("statusbar").back().value("text", "");
}

// A sample project exported into dest/ leaves nothing there but the
// document and its texture folder (whose other files stay: the COLLADA
// tests' matter).
TEST(ExportSession, ExportsThatSucceedAndExportsThatFail) {
  const std::string root = Root() + "/export", project = root + "/house.pln";
  const std::string dest = root + "/dest", document = dest + "/house.dae", textures = dest + "/house_Textures";
  fs::create_directories(dest);
  const std::string exportIt = "open " + project + "\nwindow 3d\nsave3d " + document + "\n";
  auto first = RunModule("export-first", "sample\nsaveas " + project + "\n" + exportIt);
  ASSERT_EQ(first.status, 0) << first.output;
  EXPECT_EQ(LastStatus(first), "Velmar Collada exporter: export complete.");
  for (const auto& entry : fs::directory_iterator(dest)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "house.dae" || name == "house_Textures") << name;
  }

  // Exports that fail say so and leave the document and its texture folder
  // byte-identical.
  const auto before = Snapshot(dest);
  std::uintmax_t largestImage = 0;
  for (const auto& image : fs::directory_iterator(textures))
    largestImage = std::max(largestImage, fs::file_size(image.path()));
  const std::uintmax_t documentSize = fs::file_size(document);
  // Every image fits under the limit, the document does not: the failure
  // comes after the images were written.
  ASSERT_LT(largestImage * 2, documentSize);
  const unsigned long limit = (largestImage + documentSize) / 2;

  // The export command: the user chose the file in the save dialog and is
  // told in a message box.
  auto command = RunModule("export-limit-command", "open " + project + R"HS(
window 3d
answer save )HS" + document + R"HS(
answer overwrite yes
answer msgbox ok
menu 32105
)HS",
                           limit);
  EXPECT_EQ(command.status, 0) << command.output;
  const auto boxes = command.Of("msgbox.show");
  ASSERT_EQ(boxes.size(), 1u) << command.output;
  EXPECT_EQ(boxes[0]["caption"], "Velmar Corvanta - Export failed");
  const std::string text = boxes[0]["text"];
  EXPECT_NE(text.find("The document \"" + document + "\" could not be written: "), std::string::npos) << text;
  EXPECT_NE(text.find("File too large"), std::string::npos) << text;
  EXPECT_EQ(boxes[0]["style"], 16);
  const std::string status = LastStatus(command);
  EXPECT_EQ(status.rfind("Velmar Collada exporter: export failed: ", 0), 0u) << status;
  EXPECT_NE(status.find("File too large"), std::string::npos) << status;
  EXPECT_EQ(Snapshot(dest), before);

  // The host's save of the 3D window: the failure goes back to the host,
  // which reports the failed save; the status bar says it too.
  auto save = RunModule("export-limit-save", "open " + project + "\nwindow 3d\nsave3d " + document + "\n", limit);
  EXPECT_EQ(save.status, 1) << save.output;  // the failed line
  const auto errors = save.Of("error");
  ASSERT_EQ(errors.size(), 1u) << save.output;
  EXPECT_NE(errors[0].value("reason", "").find("could not save " + document + " (error 0x81060001)"), std::string::npos)
      << errors[0].dump();
  EXPECT_TRUE(save.Of("msgbox.show").empty());
  EXPECT_NE(LastStatus(save).find("File too large"), std::string::npos) << LastStatus(save);
  EXPECT_EQ(Snapshot(dest), before);

  // A destination that is a folder.
  fs::create_directories(root + "/Folder.dae/inside");
  auto folder = RunModule("export-folder", "open " + project + "\nwindow 3d\nsave3d " + root + "/Folder.dae\n");
  EXPECT_EQ(folder.status, 1) << folder.output;
  ASSERT_EQ(folder.Of("error").size(), 1u) << folder.output;
  EXPECT_NE(folder.Of("error")[0].value("reason", "").find("(error 0x81060001)"), std::string::npos);
  EXPECT_EQ(LastStatus(folder), "Velmar Collada exporter: export failed: the destination is a folder.");
  EXPECT_TRUE(fs::is_directory(root + "/Folder.dae/inside"));
  EXPECT_FALSE(fs::exists(root + "/Folder_Textures"));
  for (const auto& entry : fs::directory_iterator(root))
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
}

}  // namespace
