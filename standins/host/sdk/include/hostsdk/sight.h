// The host's 3D models, sights and cameras. A sight looks at one 3D model
// through the 3D window's camera; the host tells a sight's observers when the
// camera changes and a 3D model's observers when the model changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "hostsdk/guid.h"
#include "hostsdk/modeler.h"
#include "hostsdk/observer.h"
#include "hostsdk/types.h"

// Four 16-bit members, taken by position: left, top, right, bottom. The host
// gives the 3D window's drawing area with right = width, bottom = height.
struct ShortRect {
  Int16 left = 0;
  Int16 top = 0;
  Int16 right = 0;
  Int16 bottom = 0;
};
static_assert(sizeof(ShortRect) == 8);

namespace Modeler {

// The host's perspective record. Readers that treat it as opaque take the
// view angle as the double at byte offset 120.
struct PerspectiveData {
  double azimuth;   // degrees, direction from the eye to the target in plan
  double distance;  // eye to target, model units
  double viewPointX, viewPointY, viewPointZ;
  double targetX, targetY, targetZ;
  double rollAngle;  // degrees
  double sunAzimuth;
  double sunAltitude;
  double pictureWidth;  // 2 * distance * tan(viewAngle / 2)
  double reserved[3];
  double viewAngle;  // degrees, horizontal
};
static_assert(offsetof(PerspectiveData, viewAngle) == 120);
static_assert(sizeof(PerspectiveData) == 128);

inline constexpr Int32 kPerspectiveProjection = 1;
inline constexpr Int32 kParallelProjection = 2;

// A copy of the 3D window's camera.
class Camera {
 public:
  Camera() = default;
  ShortRect GetDrawRect() const { return drawRect_; }
  Int32 GetProjectionType() const { return projectionType_; }
  // Null unless the projection is perspective.
  const PerspectiveData* GetPerspectiveData() const {
    return projectionType_ == kPerspectiveProjection ? &persp_ : nullptr;
  }
  ModelerAPI::Vertex GetViewPoint() const { return viewPoint_; }
  ModelerAPI::Vertex GetTargetPoint() const { return targetPoint_; }
  double GetRollAngle() const { return rollAngle_; }

  // Host side: builds the camera and its perspective record.
  static Camera Make(Int32 projectionType, const ModelerAPI::Vertex& viewPoint, const ModelerAPI::Vertex& targetPoint,
                     double rollAngle, double viewAngle, const ShortRect& drawRect);

 private:
  ShortRect drawRect_{};
  Int32 projectionType_ = kPerspectiveProjection;
  PerspectiveData persp_{};
  ModelerAPI::Vertex viewPoint_{};
  ModelerAPI::Vertex targetPoint_{};
  double rollAngle_ = 0.0;
};

class Model3D;
class Sight;

// Slot order is part of the interface: 0 destructor, 1 SourceDestroyed (the
// base's), 2 the camera changed, 3 the sight's model was replaced, 4 the
// sight became invalid, 5 the drawing area changed.
class ISightObserver : public GS::EventObserver {
 public:
  ~ISightObserver() override = default;
  virtual void CameraChanged(const Sight& sight) = 0;
  virtual void ModelReplaced(const Sight& sight) = 0;
  virtual void SightInvalidated(const Sight& sight) = 0;
  virtual void DrawRectChanged(const Sight& sight) = 0;
};

// Slot order: 0 destructor, 1 SourceDestroyed, 2 the whole model changed
// (rebuilt), 3 some elements changed (changed, added or removed elements;
// for attribute changes the elements using them, possibly none), 4 a rebuild
// is starting, 5 a rebuild ended.
class IModel3DObserver : public GS::EventObserver {
 public:
  ~IModel3DObserver() override = default;
  virtual void ModelChanged(const Model3D& model) = 0;
  virtual void ElementsChanged(const Model3D& model, const std::vector<API_Guid>& elements) = 0;
  virtual void RebuildStarted(const Model3D& model) = 0;
  virtual void RebuildFinished(const Model3D& model) = 0;
};

// A host 3D model. It holds the current state of the model as a snapshot
// that readers see immutable; the host replaces the snapshot at a change
// while a reader holds it, edits it in place while none does, and then
// notifies. The host program makes the snapshots and this library (a DLL
// on Windows, with its own C++ runtime) may free the last reference, or an
// add-on's module may: every module of the process allocates from msvcrt's
// one heap there, so memory goes back whichever module lets go of it.
class Model3D : public GS::EventSource {
 public:
  explicit Model3D(std::shared_ptr<hostmodel::Project> snapshot);
  ~Model3D() override;

  void Attach(IModel3DObserver& observer) const { AttachObserver(observer); }
  void Detach(IModel3DObserver& observer) const { DetachObserver(observer); }

  ModelerAPI::ProjectSnapshot Snapshot() const;

  // Host side.
  void SetSnapshot(std::shared_ptr<hostmodel::Project> snapshot);
  // Calls edit on the current snapshot itself when nobody but this model
  // holds it, under the lock Snapshot() takes, so no reader ever sees the
  // model change under it; returns false without calling edit while some
  // reader holds the snapshot (the host then edits a copy). edit must leave
  // the project as it was when it refuses.
  bool EditInPlace(const std::function<void(hostmodel::Project&)>& edit);
  void NotifyModelChanged() const;
  void NotifyElementsChanged(const std::vector<API_Guid>& elements) const;
  void NotifyRebuild(bool started) const;

 private:
  mutable std::mutex snapshotMutex_;
  std::shared_ptr<hostmodel::Project> snapshot_;
};

using Model3DPtr = std::shared_ptr<Model3D>;
using ConstModel3DPtr = std::shared_ptr<const Model3D>;

class Sight : public GS::EventSource {
 public:
  Sight(ConstModel3DPtr model, const Camera& camera);
  ~Sight() override;

  void Attach(ISightObserver& observer) const { AttachObserver(observer); }
  void Detach(ISightObserver& observer) const { DetachObserver(observer); }

  bool IsSightInvalid() const;
  // Null once the sight is invalid.
  ConstModel3DPtr GetConstMainModelPtr() const;
  Camera GetCamera() const;

  // Host side. Changing the camera and telling the observers are apart, so
  // that the host can post the notification after the call that caused it.
  void SetCamera(const Camera& camera);
  void NotifyCameraChanged() const;
  void NotifyDrawRectChanged() const;
  // These notify at once.
  void SetMainModel(ConstModel3DPtr model);
  void Invalidate();

 private:
  mutable std::mutex mutex_;
  ConstModel3DPtr model_;
  Camera camera_;
  bool invalid_ = false;
};

using SightPtr = std::shared_ptr<Sight>;

}  // namespace Modeler

// Fills model as a live view of a 3D model, or of a sight's main model.
// APIERR_BADPARS for a null model or source, APIERR_BADID for an invalid
// sight; the model is left unchanged then.
GSErrCode EXPGetModel(const Modeler::ConstModel3DPtr& model3D, ModelerAPI::Model* model, AttributeReader* reader);
GSErrCode EXPGetModel(const Modeler::SightPtr& sight, ModelerAPI::Model* model, AttributeReader* reader);
