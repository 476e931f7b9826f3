// Watches the link sight: every camera change makes the controller send the
// camera at once (or end following); the sight's other notifications do
// nothing.
#pragma once

#include "hostsdk/sight.h"

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
