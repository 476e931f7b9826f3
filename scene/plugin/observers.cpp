#include "plugin/ac_plugin.h"
#include "plugin/camera_observer.h"
#include "plugin/model_observer.h"

void ModelObserver::ModelChanged(const Modeler::Model3D&) {
  if (owner_ != nullptr) owner_->FlagModelChanged();
}

void ModelObserver::ElementsChanged(const Modeler::Model3D&, const std::vector<API_Guid>&) {
  if (owner_ != nullptr) owner_->FlagModelChanged();
}

void CameraObserver::CameraChanged(const Modeler::Sight&) {
  if (owner_ != nullptr) owner_->SendCamera();
}
