// What the controller hears from the link sight while a link runs: a camera
// change makes it send the camera at once (or end following), and either of
// the model's change notifications flags its model as changed for the idle
// pass to re-read. Every other notification is ignored. The observers only
// forward: they hold no state and never call the host.
#pragma once

#include <vector>

#include "hostsdk/sight.h"

namespace addon {

class ACPlugin;

class CameraObserver : public Modeler::ISightObserver {
 public:
  explicit CameraObserver(ACPlugin* owner) : owner_(owner) {}
  void CameraChanged(const Modeler::Sight& sight) override;
  void ModelReplaced(const Modeler::Sight&) override {}
  void SightInvalidated(const Modeler::Sight&) override {}
  void DrawRectChanged(const Modeler::Sight&) override {}

 private:
  ACPlugin* owner_;
};

class ModelObserver : public Modeler::IModel3DObserver {
 public:
  explicit ModelObserver(ACPlugin* owner) : owner_(owner) {}
  void ModelChanged(const Modeler::Model3D& model) override;
  void ElementsChanged(const Modeler::Model3D& model, const std::vector<API_Guid>& elements) override;
  void RebuildStarted(const Modeler::Model3D&) override {}
  void RebuildFinished(const Modeler::Model3D&) override {}

 private:
  ACPlugin* owner_;
};

}  // namespace addon
