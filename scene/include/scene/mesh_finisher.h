// Finishes meshes on a thread of its own while the host thread goes on
// reading bodies (the link's walk, the export's load). Reading is bound to
// the host thread and finishing is not: without this, one of two cores
// would wait for the reading and the other for the finishing.
//
// Best effort: the meshes it has not reached when Stop is called stay raw,
// and whoever finishes the rest (the link's publication, the export's
// merge) finishes them (and any a failure left, reporting the failure as
// its own would be: FinishMesh gives the same result wherever it runs). A
// failure here (memory running out) only ends this thread's work.
//
// The raw data of a finished mesh is freed on the host thread, which
// allocated it, the next time it hands over a batch (or at Stop): freed here,
// every free would take the lock of the host thread's allocator arena while
// that thread allocates from it for the next body, and the two threads would
// spend much of the walk waiting for each other in the kernel.
//
// The records handed in must not change while the thread runs: the host
// thread resolves them (the library may grow under BuildBody, so only that
// thread looks things up in it) and new records do not change old ones.
#pragma once

#include <atomic>
#include <cstddef>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace scene {

class MeshBuilder;
struct MaterialRecord;
struct MeshInfo;
struct PolygonData;

class MeshFinisher {
 public:
  using Job = std::pair<MeshInfo*, const MaterialRecord*>;

  explicit MeshFinisher(const MeshBuilder& builder);
  ~MeshFinisher();  // Stop
  MeshFinisher(const MeshFinisher&) = delete;
  MeshFinisher& operator=(const MeshFinisher&) = delete;

  // Queues a mesh of a body the host thread has finished reading, with the
  // record it is to be finished with; handed over to the thread in batches.
  // Host thread only.
  void Queue(MeshInfo* mesh, const MaterialRecord* record);
  // Takes no more work (meshes queued but not reached stay raw): returns
  // once the mesh in hand is done, or for a mesh of many pieces once it is
  // given up (it stays raw).
  void Stop();

 private:
  void Run();
  // Frees the raw data handed back so far. Host thread only.
  void FreeSpent();

  // Meshes handed to the thread at once: one lock and wake-up per batch.
  static constexpr std::size_t kBatch = 64;

  const MeshBuilder& builder_;
  std::vector<Job> batch_;  // the host thread's, not yet handed over
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::vector<Job>> queue_;
  std::vector<std::unique_ptr<PolygonData>> spent_;  // finished meshes' raw data, under lock_
  std::atomic<bool> stopping_{false};                // set under lock_, read between meshes without it
  std::thread thread_;
};

}  // namespace scene
