#include "scene/mesh_finisher.h"

#include <cstdio>

#include "base/exception_text.h"
#include "scene/mesh_builder.h"

namespace scene {
namespace {

// Says why the thread gave up, from inside the handler. The meshes are
// finished where they are used either way; a line whose writing needs the
// memory that just ran out is the one thing left unsaid.
void ReportGivingUp(const MeshBuilder& builder) noexcept {
  char line[320];
  std::snprintf(line, sizeof line, "Corvanta: finishing meshes alongside the walk stopped: %s\n",
                base::CurrentExceptionText());
  try {
    builder.Report(line);
  } catch (...) {
  }
}

}  // namespace

MeshFinisher::MeshFinisher(const MeshBuilder& builder) : builder_(builder), thread_([this] { Run(); }) {}

MeshFinisher::~MeshFinisher() { Stop(); }

void MeshFinisher::FreeSpent() {
  std::vector<std::unique_ptr<PolygonData>> spent;
  {
    std::lock_guard<std::mutex> guard(lock_);
    spent.swap(spent_);
  }
  // Destroyed here, outside the lock.
}

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
  FreeSpent();
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
  FreeSpent();
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
    // The batch's raw data, to be handed back; room for all of it is made
    // first, so that handing back cannot fail.
    std::vector<std::unique_ptr<PolygonData>> spent;
    bool going = true;
    try {
      spent.reserve(jobs.size());
      for (const auto& [mesh, record] : jobs) {
        // Stop waits for one mesh, not for the rest of the batch.
        if (stopping_.load()) {
          going = false;
          break;
        }
        spent.emplace_back();
        // A large mesh still in hand when the walk ends is given up rather
        // than waited for: the host thread would stand still meanwhile, and
        // the publication finishes it beside the other materials' work.
        builder_.FinishMesh(mesh, record, &spent.back(), &stopping_);
      }
    } catch (...) {
      // The rest is finished where it is used, and what fails there is
      // reported there too; this thread's failure is told here.
      going = false;
      ReportGivingUp(builder_);
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      // The host thread's list is taken whole when it is empty (the usual
      // case: it frees the list at every handover); otherwise appended to.
      if (spent_.empty()) {
        spent_.swap(spent);
      } else {
        try {
          spent_.reserve(spent_.size() + spent.size());
          for (auto& raw : spent) spent_.push_back(std::move(raw));
        } catch (...) {
          going = false;  // what is left in spent is freed here, on this thread
          ReportGivingUp(builder_);
        }
      }
    }
    if (!going) return;
  }
}

}  // namespace scene
