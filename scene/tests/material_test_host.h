// The host stand-in inside a material or texture test: a host whose function
// table this test program's glue uses (as a loaded add-on's would), a
// project written to a real file and opened, the modeler view on its 3D
// model, and helpers that make host materials and textures.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "hostmodel/image.h"
#include "hostmodel/model.h"
#include "hostmodel/project_file.h"
#include "hostsdk/loader.h"
#include "hostsdk/sight.h"

#include "scene_test_entry.h"
#include "test_temp_dir.h"

namespace material_test {

using TempDir = ::testsupport::TempDir;

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// A width x height texture of distinct pixels; seed varies the content (and
// so the fingerprint).
inline hostmodel::Texture MakeTexture(const std::string& name, int width, int height, bool alpha, bool pattern,
                                      int seed = 0) {
  hostmodel::Texture t;
  t.name = name;
  t.width = width;
  t.height = height;
  t.pixels.resize(std::size_t(width) * std::size_t(height) * 4);
  for (std::size_t i = 0; i < t.pixels.size() / 4; ++i) {
    t.pixels[4 * i + 0] = std::uint8_t(alpha ? 40 + (i * 7) % 200 : 255);
    t.pixels[4 * i + 1] = std::uint8_t(i * 3 + seed);
    t.pixels[4 * i + 2] = std::uint8_t(i * 5 + 2 * seed);
    t.pixels[4 * i + 3] = std::uint8_t(i * 11 + 3 * seed);
  }
  t.hasAlphaChannel = alpha;
  t.transparentPattern = pattern;
  t.fingerprint = hostmodel::PixelFingerprint(width, height, t.pixels);
  t.xSize = 2.0;
  t.ySize = 0.5;
  return t;
}

inline hostmodel::Material MakeMaterial(const std::string& name, std::int32_t texture = 0) {
  hostmodel::Material m;
  m.name = name;
  m.guid = hostmodel::Guid::FromName("material:" + name);
  m.textureIndex = texture;
  return m;
}

// A host running in this test program. The test acts as the add-on: its
// host calls go through the glue into this host's function table.
class HostFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    host::Host::Options options;
    options.publishMainWindow = false;
    host = std::make_unique<host::Host>(options);
    ASSERT_EQ(SetImportedFuncAddrs(&host->Table().Raw()), NoError);
    scope = std::make_unique<host::Host::AddonScope>(*host, 0);
  }
  void TearDown() override {
    scope.reset();
    host.reset();
  }

  // Writes the project as a native file named fileName and opens it; the
  // modeler view `model` then reads its 3D model.
  void Open(hostmodel::Project project, const std::string& fileName = "House.pln") {
    projectPath = temp.File(fileName);
    std::filesystem::create_directories(std::filesystem::path(projectPath).parent_path());
    ASSERT_TRUE(hostmodel::SaveProjectFile(project, projectPath).ok());
    auto opened = host->OpenProject(projectPath);
    ASSERT_TRUE(opened.ok()) << opened.error();
    Bind();
  }
  void Bind() {
    model = ModelerAPI::Model();
    AttributeReader reader;
    ASSERT_EQ(EXPGetModel(Modeler::ConstModel3DPtr(host->Model3D()), &model, &reader), NoError);
  }
  std::vector<std::string> DebugLines() const {
    std::vector<std::string> lines;
    for (const auto& e : host->LogEntries())
      if (e.category == "debug") lines.push_back(e.text);
    return lines;
  }

  TempDir temp;
  std::unique_ptr<host::Host> host;
  std::unique_ptr<host::Host::AddonScope> scope;
  std::string projectPath;
  ModelerAPI::Model model;
};

// A modeler view on a project that no host has validated, for texture data
// a project file could not carry (a pixel map shorter than its size).
struct UncheckedModel {
  explicit UncheckedModel(hostmodel::Project project)
      : model3D(std::make_shared<Modeler::Model3D>(std::make_shared<hostmodel::Project>(std::move(project)))) {
    AttributeReader reader;
    EXPGetModel(Modeler::ConstModel3DPtr(model3D), &model, &reader);
  }
  ModelerAPI::Texture TextureAt(int index) const {
    ModelerAPI::Texture t;
    model.GetTexture(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::TextureIndex, index), &t);
    return t;
  }
  Modeler::Model3DPtr model3D;
  ModelerAPI::Model model;
};

}  // namespace material_test
