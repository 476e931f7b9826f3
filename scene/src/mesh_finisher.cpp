#include "scene/mesh_finisher.h"

#include "scene/mesh_builder.h"

namespace scene {

MeshFinisher::MeshFinisher(const MeshBuilder& builder) : builder_(builder), thread_([this] { Run(); }) {}

MeshFinisher::~MeshFinisher() { Stop(); }

void MeshFinisher::Queue(MeshInfo* mesh, const MaterialRecord* record) {
  batch_.emplace_back(mesh, record);
  if (batch_.size() < kBatch) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) {
      batch_.clear();
      return;
    }
    queue_.push_back(std::move(batch_));
  }
  batch_ = {};
  wake_.notify_one();
}

void MeshFinisher::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    queue_.clear();
  }
  batch_.clear();
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void MeshFinisher::Run() {
  for (;;) {
    std::vector<Job> jobs;
    {
      std::unique_lock<std::mutex> guard(lock_);
      wake_.wait(guard, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      jobs = std::move(queue_.front());
      queue_.pop_front();
    }
    try {
      for (const auto& [mesh, record] : jobs) {
        // Stop waits for one mesh, not for the rest of the batch.
        if (stopping_.load()) return;
        builder_.FinishMesh(mesh, record);
      }
    } catch (...) {
      return;  // the rest is finished where it is used, and what fails is reported there
    }
  }
}

}  // namespace scene
