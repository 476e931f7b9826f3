#include "hostsdk/sight.h"

#include <cmath>

namespace Modeler {

Camera Camera::Make(Int32 projectionType, const ModelerAPI::Vertex& viewPoint, const ModelerAPI::Vertex& targetPoint,
                    double rollAngle, double viewAngle, const ShortRect& drawRect) {
  Camera c;
  c.projectionType_ = projectionType;
  c.viewPoint_ = viewPoint;
  c.targetPoint_ = targetPoint;
  c.rollAngle_ = rollAngle;
  c.drawRect_ = drawRect;
  PerspectiveData& p = c.persp_;
  const double dx = targetPoint.x - viewPoint.x;
  const double dy = targetPoint.y - viewPoint.y;
  const double dz = targetPoint.z - viewPoint.z;
  p.azimuth = (dx == 0.0 && dy == 0.0) ? 0.0 : std::atan2(dy, dx) * 180.0 / 3.141592653589793;
  p.distance = std::sqrt(dx * dx + dy * dy + dz * dz);
  p.viewPointX = viewPoint.x;
  p.viewPointY = viewPoint.y;
  p.viewPointZ = viewPoint.z;
  p.targetX = targetPoint.x;
  p.targetY = targetPoint.y;
  p.targetZ = targetPoint.z;
  p.rollAngle = rollAngle;
  p.sunAzimuth = 135.0;
  p.sunAltitude = 45.0;
  p.pictureWidth = 2.0 * p.distance * std::tan(viewAngle * 3.141592653589793 / 360.0);
  p.viewAngle = viewAngle;
  return c;
}

// ---- Model3D ------------------------------------------------------------------
Model3D::Model3D(std::shared_ptr<hostmodel::Project> snapshot) : snapshot_(std::move(snapshot)) {}

Model3D::~Model3D() = default;

ModelerAPI::ProjectSnapshot Model3D::Snapshot() const {
  std::lock_guard lock(snapshotMutex_);
  return snapshot_;
}

void Model3D::SetSnapshot(std::shared_ptr<hostmodel::Project> snapshot) {
  std::lock_guard lock(snapshotMutex_);
  snapshot_ = std::move(snapshot);
}

bool Model3D::EditInPlace(const std::function<void(hostmodel::Project&)>& edit) {
  std::lock_guard lock(snapshotMutex_);
  if (!snapshot_) return false;
  // Every reader's handle shares this count, and a new one is only handed
  // out under the lock held here: ours and the model's alone mean nobody
  // else can look.
  const std::shared_ptr<hostmodel::Project> own = snapshot_;
  if (own.use_count() != 2) return false;
  // What a reader read before it let go of its handle must happen before
  // the edit. use_count() is a relaxed read: the last reader may have let go
  // after our copy above was taken, and then nothing orders its reads before
  // our writes. Taking one more handle is an atomic read-modify-write, which
  // reads that release (or a later change of the count) and so synchronises
  // with it.
  const std::shared_ptr<hostmodel::Project> ordered = own;  // NOLINT(performance-unnecessary-copy-initialization)
  edit(*ordered);
  return true;
}

void Model3D::NotifyModelChanged() const {
  ForEachObserver([this](GS::EventObserver& o) { static_cast<IModel3DObserver&>(o).ModelChanged(*this); });
}

void Model3D::NotifyElementsChanged(const std::vector<API_Guid>& elements) const {
  ForEachObserver([&](GS::EventObserver& o) { static_cast<IModel3DObserver&>(o).ElementsChanged(*this, elements); });
}

void Model3D::NotifyRebuild(bool started) const {
  ForEachObserver([&](GS::EventObserver& o) {
    auto& observer = static_cast<IModel3DObserver&>(o);
    if (started) {
      observer.RebuildStarted(*this);
    } else {
      observer.RebuildFinished(*this);
    }
  });
}

// ---- Sight --------------------------------------------------------------------
Sight::Sight(ConstModel3DPtr model, const Camera& camera) : model_(std::move(model)), camera_(camera) {}

Sight::~Sight() = default;

bool Sight::IsSightInvalid() const {
  std::lock_guard lock(mutex_);
  return invalid_;
}

ConstModel3DPtr Sight::GetConstMainModelPtr() const {
  std::lock_guard lock(mutex_);
  return invalid_ ? nullptr : model_;
}

Camera Sight::GetCamera() const {
  std::lock_guard lock(mutex_);
  return camera_;
}

void Sight::SetCamera(const Camera& camera) {
  {
    std::lock_guard lock(mutex_);
    if (invalid_) return;
    camera_ = camera;
  }
}

void Sight::NotifyCameraChanged() const {
  if (IsSightInvalid()) return;
  ForEachObserver([this](GS::EventObserver& o) { static_cast<ISightObserver&>(o).CameraChanged(*this); });
}

void Sight::NotifyDrawRectChanged() const {
  if (IsSightInvalid()) return;
  ForEachObserver([this](GS::EventObserver& o) { static_cast<ISightObserver&>(o).DrawRectChanged(*this); });
}

void Sight::SetMainModel(ConstModel3DPtr model) {
  {
    std::lock_guard lock(mutex_);
    if (invalid_) return;
    model_ = std::move(model);
  }
  ForEachObserver([this](GS::EventObserver& o) { static_cast<ISightObserver&>(o).ModelReplaced(*this); });
}

void Sight::Invalidate() {
  {
    std::lock_guard lock(mutex_);
    if (invalid_) return;
    invalid_ = true;
    model_.reset();
  }
  ForEachObserver([this](GS::EventObserver& o) { static_cast<ISightObserver&>(o).SightInvalidated(*this); });
}

}  // namespace Modeler

GSErrCode EXPGetModel(const Modeler::ConstModel3DPtr& model3D, ModelerAPI::Model* model, AttributeReader*) {
  if (model == nullptr || model3D == nullptr) return APIERR_BADPARS;
  model->Attach(model3D);
  return NoError;
}

GSErrCode EXPGetModel(const Modeler::SightPtr& sight, ModelerAPI::Model* model, AttributeReader* reader) {
  if (model == nullptr || sight == nullptr) return APIERR_BADPARS;
  Modeler::ConstModel3DPtr model3D = sight->GetConstMainModelPtr();
  if (model3D == nullptr) return APIERR_BADID;
  return EXPGetModel(model3D, model, reader);
}
