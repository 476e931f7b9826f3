// Watches the link sight's main 3D model: both model-change notifications
// flag the controller's model as changed, and nothing else happens here;
// the controller's idle pass does the re-read.
#pragma once

#include <vector>

#include "hostsdk/sight.h"

class ACPlugin;

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
