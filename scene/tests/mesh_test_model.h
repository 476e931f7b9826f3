// Host models for the mesh tests: a host project made in code, served
// through the host's own modeler interface, so the builder reads bodies
// exactly as the add-on does.
#pragma once

#include <memory>
#include <vector>

#include "hostmodel/model.h"
#include "hostsdk/modeler.h"
#include "hostsdk/sight.h"

#include "scene_test_entry.h"

namespace mesh_test {

class HostModel {
 public:
  explicit HostModel(hostmodel::Project project)
      : model3D_(std::make_shared<Modeler::Model3D>(
            std::make_shared<hostmodel::Project>(std::move(project)))) {
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
  hostmodel::Element element;
  element.guid = hostmodel::Guid::FromName("mesh-test");
  element.bodies = std::move(bodies);
  project.elements.push_back(std::move(element));
  return project;
}

// A flat polygon of one convex piece over the given 0-based vertices.
inline hostmodel::Polygon Piece(std::vector<std::int32_t> corners, std::int32_t normalIndex = 1) {
  hostmodel::Polygon p;
  p.normalIndex = normalIndex;
  p.convexPieces.push_back(std::move(corners));
  return p;
}

}  // namespace mesh_test
