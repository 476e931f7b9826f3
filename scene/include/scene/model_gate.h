// The model gate: hands the scene's meshes, groups, element table and
// material records to one side at a time, a walk of the host's model or a
// publish turn of the scene's worker.
//
// Invariant: at most one side holds the gate. A walk's hold lasts from the
// TakeForWalk that granted it until ReleaseWalk, across calls (a walk that
// changed something keeps it until its publish request hands it on); any
// other hold lasts from Take to Release, within one call.
//
// Threads: TakeForWalk, HeldByWalk and ReleaseWalk belong to the one
// thread that walks (the host's user-interface thread); Take and Release
// may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace scene {

class CAPABILITY("model gate") ModelGate {
 public:
  // True when the walk holds the gate: it held it already, or the gate
  // came free within budget. False, holding nothing, when another side
  // kept it the whole budget.
  [[nodiscard]] bool TakeForWalk(std::chrono::milliseconds budget);
  [[nodiscard]] bool HeldByWalk() const { return heldByWalk_.load(); }
  // Ends the walk's hold and wakes a side waiting for the gate; nothing
  // when the walk holds none.
  void ReleaseWalk();

  // Waits however long it takes for the gate, then holds it.
  void Take() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { TakeWhenFree(); }
  // Gives the gate up and wakes a side waiting for it.
  void Release() RELEASE() NO_THREAD_SAFETY_ANALYSIS { Free(); }

 private:
  // Take and Release as the analysis sees their insides: the gate's state
  // under its mutex.
  void TakeWhenFree();
  void Free();

  base::Mutex mutex_;
  std::condition_variable freed_;
  bool taken_ GUARDED_BY(mutex_) = false;
  // Written by the walking thread only; read by anyone.
  std::atomic<bool> heldByWalk_{false};
};

}  // namespace scene
