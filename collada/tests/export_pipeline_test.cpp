// The export end to end: a host stand-in loads an add-on that carries the
// exporter, opens a real project, and the exporter writes through the host's
// "dae" file-type save or through its own save dialog.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "document_check.h"
#include "host/host.h"
#include "hostui/ui.h"
#include "isolation.h"

namespace {

using collada_test::ReadFile;
using collada_test::TempDir;
using nlohmann::json;

constexpr int kCancel = static_cast<int>(0x81060003u);

std::string Golden(const std::string& name) { return std::string(CORV_COLLADA_GOLDEN_DIR) + "/" + name; }

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// The save dialog as a user answers it: the next queued path (relative paths
// go into the dialog's folder), or a cancel.
struct DialogUser : host::ui::Answerer {
  std::vector<std::optional<std::string>> answers;
  std::vector<host::ui::SaveDialogRequest> requests;
  int Alert(const host::ui::AlertRequest&) override { return 1; }
  int MessageBox(const host::ui::MessageBoxRequest&) override { return 1; }
  std::optional<std::u16string> SaveFile(const host::ui::SaveDialogRequest& request) override {
    requests.push_back(request);
    std::optional<std::string> answer;
    if (!answers.empty()) answer = answers.front(), answers.erase(answers.begin());
    return answer ? std::optional<std::u16string>(std::u16string(answer->begin(), answer->end())) : std::nullopt;
  }
  bool ConfirmOverwrite(const std::u16string&) override { return true; }
  void Modal(host::ui::Ui&, short) override {}
};

// Two materials whose keys (0x2A and 0x10000002A) share their low 32 bits, a
// glass with markup and control characters in its name, textures with and
// without alpha; a closed box, an open sheet, a body without vertices.
json ProjectJson(const std::string& soloPath) {
  auto box = [](double x0, int material) {
    json b;
    b["closed"] = true;
    json v = json::array();
    for (int i = 0; i < 8; ++i) v.push_back({x0 + (i & 1), (i >> 1) & 1, (i >> 2) & 1});
    b["vertices"] = v;
    b["polygonNormals"] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
    json faces = {{0, 4, 6, 2}, {1, 3, 7, 5}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 2, 3, 1}, {4, 5, 7, 6}};
    json polygons = json::array();
    for (int f = 0; f < 6; ++f) polygons.push_back({{"material", material}, {"normal", f + 1}, {"pieces", {faces[f]}}});
    b["polygons"] = polygons;
    return b;
  };
  json sheet;
  sheet["closed"] = false;
  sheet["vertices"] = {{0, 0, 3}, {2, 0, 3}, {2, 2, 3}, {0, 2, 3}};
  sheet["polygonNormals"] = {{0, 0, 1}};
  sheet["polygons"] = {{{"material", 2}, {"normal", 1}, {"pieces", {{0, 1, 2, 3}}}}};
  json empty = {
      {"closed", true}, {"vertices", json::array()}, {"polygonNormals", json::array()}, {"polygons", json::array()}};

  json project;
  project["format"] = "host-project";
  project["version"] = 1;
  project["state"] = {{"untitled", soloPath.empty()}, {"currentWindow", "3d"}};
  if (!soloPath.empty()) project["state"]["soloPath"] = soloPath;
  // 2x2 pixels, A R G B each.
  std::string opaque = "//8AAP8A/wD/AAD//////w==";  // red, green, blue, white
  std::string clear = "gP8AAP8A/wD/AAD//////w==";   // half-transparent first pixel
  project["textures"] = {{{"name", "plain"},
                          {"pixels", {{"width", 2}, {"height", 2}, {"argb", opaque}}},
                          {"hasAlphaChannel", false},
                          {"xSize", 2},
                          {"ySize", 2}},
                         {{"name", "alpha"},
                          {"pixels", {{"width", 2}, {"height", 2}, {"argb", clear}}},
                          {"hasAlphaChannel", true},
                          {"transparentPattern", true}}};
  project["materials"] = {{{"name", "Brick"},
                           {"guid", "0000002A-0000-0000-0000-000000000000"},
                           {"surfaceColor", {1, 0.5, 0}},
                           {"shininess", 2500},
                           {"texture", 1}},
                          {{"name", "Leaves"}, {"guid", "0000002A-0001-0000-0000-000000000000"}, {"texture", 2}},
                          {{"name", "Glass <&> \"q\" 'a'\u000b\u000c"},
                           {"guid", "00000077-0000-0000-0000-000000000000"},
                           {"materialType", 5},
                           {"transparency", 50}}};
  project["elements"] = {{{"guid", "10000000-0000-0000-0000-000000000001"}, {"bodies", {box(0, 1)}}},
                         {{"guid", "10000000-0000-0000-0000-000000000002"}, {"bodies", {empty, sheet}}},
                         {{"guid", "10000000-0000-0000-0000-000000000003"}, {"bodies", {box(5, 3)}}}};
  return project;
}

class ExportPipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    livelink_test::Isolated();  // the program's own registry and runtime folders
    setenv("TZ", "UTC", 1);
    ui = &host::ui::Ui::Get();
    ui->SetAnswerer(&user);
    host_ = std::make_unique<host::Host>();
    for (const auto& [index, fn] : host::ui::Ui::TableEntries()) host_->Table().Set(index, fn);
    if (host_->MainWindow()) ui->SetMainWindow(host_->MainWindow());
    if (!host_->MainWindow()) ui->EnsureMainWindow(u"Host");
    auto loaded = host_->LoadAddon(CORV_COLLADA_TEST_ADDON);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    module = host_->Addon(loaded.value())->handle;
    Probe(exportCommand, "ColladaTestAddon_ExportCommand");
    Probe(forgetFolder, "ColladaTestAddon_ForgetFolder");
    Probe(lastFolder, "ColladaTestAddon_LastFolder");
    Probe(lastError, "ColladaTestAddon_LastError");
    Probe(progress, "ColladaTestAddon_Progress");
    Probe(setSwitches, "ColladaTestAddon_SetSwitches");
    setSwitches(1, 0, 1);
  }
  void TearDown() override {
    host_.reset();
    ui->SetAnswerer(nullptr);
  }
  template <typename Fn>
  void Probe(Fn*& fn, const char* name) {
    fn = reinterpret_cast<Fn*>(dlsym(module, name));
    ASSERT_NE(fn, nullptr) << name;
  }
  void OpenProject(const std::string& soloPath = {}) {
    std::string file = soloPath.empty() ? dir.File("model.pln") : soloPath;
    collada_test::WriteFile(file, ProjectJson(soloPath).dump(1));
    auto opened = host_->OpenProject(file);
    ASSERT_TRUE(opened.ok()) << opened.error();
    ASSERT_TRUE(host_->SwitchWindow(hostmodel::WindowType::ThreeD).ok());
  }

  TempDir dir;
  DialogUser user;
  host::ui::Ui* ui = nullptr;
  std::unique_ptr<host::Host> host_;
  void* module = nullptr;
  int (*exportCommand)() = nullptr;
  void (*forgetFolder)() = nullptr;
  const char16_t* (*lastFolder)() = nullptr;
  const char* (*lastError)() = nullptr;
  const char* (*progress)() = nullptr;
  void (*setSwitches)(int, int, int) = nullptr;
};

TEST_F(ExportPipeline, FileTypeSaveWritesTheGoldenDocumentWithItsTextures) {
  OpenProject();
  std::string out = dir.File("Out.dae");
  auto saved = host_->Save3D(out);
  ASSERT_TRUE(saved.ok()) << saved.error() << " " << lastError();
  std::string document = ReadFile(out);

  const std::string golden = ReadFile(Golden("pipeline_model.dae"));
  EXPECT_EQ(collada_test::NormaliseDate(document), golden);

  // The golden document holds the ids of two keys with the same low 32
  // bits, names with markup sanitised, the images' references and one
  // node per body with vertices (numbered by body: none for body 2).
  // Images as PNG (alpha pattern) and JPEG beside the document.
  std::string png = "Out_Textures/000000010000002a.png", jpg = "Out_Textures/000000000000002a.jpg";
  EXPECT_EQ(ReadFile(dir.File(png)).substr(0, 4), "\x89PNG");
  EXPECT_EQ(ReadFile(dir.File(jpg)).substr(0, 2), "\xFF\xD8");

  std::string status = progress();
  std::vector<std::string> order = {
      "initializing",          "load materials",    "load geometries",   "merge geometries",   "serialize geometries",
      "create nodes",          "processing assets", "processing images", "processing effects", "processing materials",
      "processing geometries", "processing nodes",  "export complete."};
  std::size_t at = 0;
  for (const auto& text : order) {
    at = status.find("Velmar Collada exporter: " + text, at);
    ASSERT_NE(at, std::string::npos) << text << " in\n" << status;
  }

  // A second export, nodes off, leaves no marker and rewrites the images
  // the first one wrote (they belong to the first document until then,
  // and are not deleted meanwhile).
  setSwitches(0, 0, 1);
  ASSERT_TRUE(host_->Save3D(out).ok()) << lastError();
  EXPECT_TRUE(std::filesystem::exists(dir.File(png)));
  EXPECT_EQ(collada_test::NormaliseDate(ReadFile(out)), collada_test::WithoutNodes(golden));
}

TEST_F(ExportPipeline, SaveDialogProposalsFolderAndCancel) {
  std::string projectDir = dir.File("proj.old");
  std::filesystem::create_directory(projectDir);
  OpenProject(projectDir + "/House.pln");

  // A cancelled dialog, and what it started in and proposed.
  const auto cancelled = [&](const std::string& initialDir, const std::string& proposal) {
    user.answers = {std::nullopt};
    EXPECT_EQ(exportCommand(), kCancel);
    EXPECT_EQ(Utf8(user.requests.back().initialDir), initialDir);
    EXPECT_EQ(Utf8(user.requests.back().proposal), proposal);
  };
  // Cancel: nothing written, nothing remembered.
  cancelled("", projectDir + "/House.dae");
  ASSERT_EQ(user.requests.size(), 1u);
  const auto& first = user.requests[0];
  EXPECT_EQ(Utf8(first.title), "Export collada file");
  ASSERT_EQ(first.filters.size(), 2u);
  EXPECT_EQ(Utf8(first.filters[0].first + u"|" + first.filters[0].second + u"|" + first.filters[1].second),
            "Collada files|*.dae|*.*");
  EXPECT_EQ(first.flags, 0x2u);  // prompt before overwriting, nothing else
  EXPECT_EQ(Utf8(lastFolder()), "");

  // A name typed without extension in a folder with a "." gets ".dae".
  user.answers = {projectDir + "/model"};
  ASSERT_EQ(exportCommand(), 0) << lastError();
  EXPECT_TRUE(std::filesystem::exists(projectDir + "/model.dae"));
  EXPECT_TRUE(std::filesystem::is_directory(projectDir + "/model_Textures"));
  EXPECT_EQ(Utf8(lastFolder()), projectDir);

  // The next dialog starts in that folder and proposes the file name only.
  cancelled(projectDir, "House.dae");

  // The project closed: the full path again.
  forgetFolder();
  cancelled("", projectDir + "/House.dae");
}

// (A file-size limit reached part way is the add-on's export session test,
// seen as the user sees it.)
TEST_F(ExportPipeline, FailuresLeaveNoTemporaryFile) {
  OpenProject();
  // A destination that is a folder; a folder that does not exist.
  std::filesystem::create_directory(dir.File("Folder.dae"));
  EXPECT_FALSE(host_->Save3D(dir.File("Folder.dae")).ok());
  EXPECT_FALSE(host_->Save3D(dir.File("missing/Model.dae")).ok());
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));

  for (const auto& name : dir.Entries()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;

  // Images that cannot be written (a file is in the texture folder's place):
  // the materials keep their colours and the document stays valid.
  collada_test::WriteFile(dir.File("Plain_Textures"), "not a folder");
  std::string plain = dir.File("Plain.dae");
  ASSERT_TRUE(host_->Save3D(plain).ok()) << lastError();
  std::string document = ReadFile(plain);
  EXPECT_EQ(document.find("sampler2d-"), std::string::npos);
  EXPECT_EQ(document.find("<image "), std::string::npos);
  EXPECT_NE(document.find("<diffuse>\r\n<color>0.996 0.496 0.000 1.000</color>"), std::string::npos);  // Brick's
  EXPECT_EQ(collada_test::SchemaProblems(plain), "");
}

TEST_F(ExportPipeline, EmptyProjectGivesACompleteDocument) {
  json project = {{"format", "host-project"}, {"version", 1}, {"state", {{"currentWindow", "3d"}}}};
  std::string file = dir.File("empty.pln");
  collada_test::WriteFile(file, project.dump());
  ASSERT_TRUE(host_->OpenProject(file).ok());
  ASSERT_TRUE(host_->SwitchWindow(hostmodel::WindowType::ThreeD).ok());
  std::string out = dir.File("Empty.dae");
  ASSERT_TRUE(host_->Save3D(out).ok()) << lastError();
  EXPECT_EQ(collada_test::NormaliseDate(ReadFile(out)), ReadFile(Golden("empty_nodes.dae")));
}

}  // namespace
