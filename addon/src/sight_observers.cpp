#include "addon/sight_observers.h"

#include "addon/ac_plugin.h"

namespace addon {

void CameraObserver::CameraChanged(const Modeler::Sight&) {
  if (owner_ != nullptr) owner_->SendCamera();
}

void ModelObserver::ModelChanged(const Modeler::Model3D&) {
  if (owner_ != nullptr) owner_->FlagModelChanged();
}

void ModelObserver::ElementsChanged(const Modeler::Model3D&, const std::vector<API_Guid>&) {
  if (owner_ != nullptr) owner_->FlagModelChanged();
}

}  // namespace addon
