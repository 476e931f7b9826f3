// The scene: what the live link has taken from the host's 3D model, element
// by element, and the worker thread that keeps the renderer's copy current.
//
// The unit of change detection is the element (rebuilt when its generation
// id changes, dropped when a walk no longer finds it); the unit of
// publication is the material: a changed mesh marks its material key dirty
// and the worker rewrites the merged geometry block of every dirty key.
//
// Threads: every call runs on the host's user-interface thread (the one
// that walks), except PublishPass, which the worker runs;
// IsPublishRequested and CompletedBatches may be asked from any thread.
// The model gate (scene/model_gate.h) hands the meshes, groups, element
// table and material records to one side at a time: a walk holds it from
// its start until the next RequestPublish, the worker for one publish turn.
// That hold spans calls, which the thread-safety analysis cannot follow, so
// those fields carry no annotation; the gate's own state and the worker's
// wake-up do. A walk that cannot take the gate within 50 ms leaves the
// meshes it would discard in place (the renderer keeps showing them) and
// discards them at the next walk that gets the gate.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace CorvantaAPI {
class LiveConnection;
}
namespace ModelerAPI {
class Model;
}
namespace context {
class PluginSettings;
}
namespace scene {

class MaterialLibrary;

// A vertex count as decimal text, exact over the whole 64-bit range.
std::u16string VertexCountText(std::uint64_t count);

class ACScene {
 public:
  // Neither pointer is owned; both must outlive the scene.
  ACScene(CorvantaAPI::LiveConnection* connection, MaterialLibrary* materials);
  // Stops the worker and frees every mesh.
  ~ACScene();
  ACScene(const ACScene&) = delete;
  ACScene& operator=(const ACScene&) = delete;

  // Stops whatever ran, adopts the model (not owned), applies the settings
  // (null: smoothing and optimisation on, offset 0), walks the whole model
  // and starts the worker thread. Publishes nothing until RequestPublish.
  void Begin(ModelerAPI::Model* model, const context::PluginSettings* settings);
  // One walk with change detection: true when an element was built or
  // removed, a material disappeared, or the material refresh left records
  // to publish. False without a model.
  bool Resync();
  // Wakes the worker at once when a material record or a material's
  // geometry is waiting; hands back the gate a walk holds.
  void RequestPublish();
  // Ends and joins the worker, drops every mesh, element and key. Never
  // from the worker thread.
  void Stop();
  // The sum of the host vertex counts of all bodies, as decimal text (the
  // true value, also past 2^31).
  std::u16string GetVertexCountText() const;
  std::uint64_t GetVertexCount() const;

  // One publish pass over the dirty keys, limited to budgetMs of work. True
  // when nothing is left or the pass was interrupted by a walk. Called by
  // the worker with the gate and the connection's lock held.
  bool PublishPass(std::uint32_t budgetMs);

  // Where the scene's diagnostic lines go (the host's debug output in the
  // add-on); stderr until set.
  void SetDebugOutput(std::function<void(const char*)> output);

  // Called by the worker in every publish turn while it holds the gate and
  // the link's lock, before it writes anything (tests hold a turn open
  // with it). Set it while the worker is stopped.
  void SetWorkerTurnHook(std::function<void()> hook);

  // For the controller's and the tests' view of the scene.
  std::size_t ElementCount() const;
  std::size_t DirtyKeyCount() const;
  bool IsPublishRequested() const;
  bool IsWorkerRunning() const;
  // The last walk could not take the gate within 50 ms and changed nothing:
  // a later walk must do its work (the controller keeps its change flag).
  bool IsWalkDeferred() const;
  // Complete publish batches (each followed by Announce and Notify).
  std::uint64_t CompletedBatches() const;

 private:
  struct State;
  void WorkerLoop();
  bool Walk();
  std::unique_ptr<State> s_;
};

}  // namespace scene
