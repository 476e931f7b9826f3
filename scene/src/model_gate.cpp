#include "scene/model_gate.h"

namespace scene {

bool ModelGate::TakeForWalk(std::chrono::milliseconds budget) {
  if (heldByWalk_.load()) return true;
  const auto deadline = std::chrono::steady_clock::now() + budget;
  base::MutexLock lock(mutex_);
  while (taken_) {
    if (!lock.WaitUntil(freed_, deadline) && taken_) return false;
  }
  taken_ = true;
  heldByWalk_.store(true);
  return true;
}

void ModelGate::ReleaseWalk() {
  if (heldByWalk_.exchange(false)) Free();
}

void ModelGate::TakeWhenFree() {
  base::MutexLock lock(mutex_);
  while (taken_) lock.Wait(freed_);
  taken_ = true;
}

void ModelGate::Free() {
  {
    base::MutexLock lock(mutex_);
    taken_ = false;
  }
  freed_.notify_one();
}

}  // namespace scene
