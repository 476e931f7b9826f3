// The host stand-in inside a scene test program: a host whose function
// table this program's glue uses, a project written to a real file and
// opened; or a project made in code served through the host's modeler
// interface alone, so bodies are read exactly as the add-on reads them.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "hostmodel/model.h"
#include "hostmodel/project_file.h"
#include "hostsdk/loader.h"
#include "hostsdk/modeler.h"
#include "hostsdk/sight.h"

#include "scene_test_entry.h"
#include "test_temp_dir.h"

namespace scene_test {

inline std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

inline hostmodel::Material MakeMaterial(const std::string& name, hostmodel::ColorRGB colour = {},
                                        std::int32_t texture = 0) {
  hostmodel::Material m;
  m.name = name;
  m.guid = hostmodel::Guid::FromName("material:" + name);
  m.surfaceColor = colour;
  m.textureIndex = texture;
  return m;
}

// A project's 3D model without a host around it.
class HostModel {
 public:
  explicit HostModel(hostmodel::Project project)
      : model3D_(std::make_shared<Modeler::Model3D>(std::make_shared<hostmodel::Project>(std::move(project)))) {
    model_.Attach(model3D_);
  }
  const ModelerAPI::Model& Model() const { return model_; }
  // Body b (from 1) of element e (from 1).
  ModelerAPI::Body Body(int e = 1, int b = 1) const {
    ModelerAPI::Element element;
    model_.GetElement(e, &element);
    ModelerAPI::Body body;
    element.GetBody(b, &body);
    return body;
  }

 private:
  std::shared_ptr<Modeler::Model3D> model3D_;
  ModelerAPI::Model model_;
};

// A project of one element with the given bodies.
inline hostmodel::Project OneElement(std::vector<hostmodel::Body> bodies) {
  hostmodel::Project project;
  project.elements.emplace_back().guid = hostmodel::Guid::FromName("mesh-test");
  project.elements[0].bodies = std::move(bodies);
  return project;
}

// A flat polygon of one convex piece over the given 0-based vertices.
inline hostmodel::Polygon Piece(std::vector<std::int32_t> corners, std::int32_t normalIndex = 1) {
  hostmodel::Polygon p;
  p.normalIndex = normalIndex;
  p.convexPieces.push_back(std::move(corners));
  return p;
}

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
  void Open(const hostmodel::Project& project, const std::string& fileName = "House.pln") {
    projectPath = temp.File(fileName);
    ASSERT_TRUE(hostmodel::SaveProjectFile(project, projectPath).ok());
    auto opened = host->OpenProject(projectPath);
    ASSERT_TRUE(opened.ok()) << opened.error();
    model = ModelerAPI::Model();
    AttributeReader reader;
    ASSERT_EQ(EXPGetModel(Modeler::ConstModel3DPtr(host->Model3D()), &model, &reader), NoError);
  }

  testsupport::TempDir temp;
  std::unique_ptr<host::Host> host;
  std::unique_ptr<host::Host::AddonScope> scope;
  std::string projectPath;
  ModelerAPI::Model model;
};

}  // namespace scene_test
