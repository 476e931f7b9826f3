#include "scene/ac_scene.h"

#include "base/parallel_for.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "context/plugin_settings.h"
#include "base/concurrent_containers.h"
#include "base/exception_text.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "hostsdk/modeler.h"
#include "livelink/layout.h"
#include "livelink/live_connection.h"
#include "scene/element_info.h"
#include "scene/material_library.h"
#include "scene/material_record.h"
#include "scene/mesh_finisher.h"
#include "scene/mesh_builder.h"
#include "scene/model_gate.h"
#include "util/text.h"

namespace scene {
namespace {
// From this many elements to build, a walk finishes their meshes alongside;
// an edit's handful is left to the publication, which finishes them on
// every core.
constexpr std::size_t kFinishAlongside = 256;
}  // namespace

struct ACScene::State {
  State(CorvantaAPI::LiveConnection* c, MaterialLibrary* m) : connection(c), materials(m) {
    dirtyKeys.max_load_factor(4.0f);
    builder = std::make_unique<MeshBuilder>(materials, &groups, &dirtyKeys);
    if (materials != nullptr) {
      materials->SetRecordListener(
          [this](std::uint64_t key, MaterialLibrary::RecordEvent event) { OnRecord(key, event); });
    }
  }
  ~State() {
    if (materials != nullptr) materials->SetRecordListener({});
  }

  // What a walk's material refresh did to a record (host thread, gate
  // held). A removed material's block is freed from what the builder made,
  // never from an id read back from the link. A record made again for a key
  // whose meshes are still here (a deleted material restored) starts with
  // no geometry in its new link record: the key is written again. A
  // remapped texture needs the meshes built again from the host's corners,
  // which finished meshes no longer hold: their elements are rebuilt.
  void OnRecord(std::uint64_t key, MaterialLibrary::RecordEvent event) {
    using Event = MaterialLibrary::RecordEvent;
    if (event == Event::kRemoved) {
      if (connection != nullptr) builder->ForgetBlock(*connection, key);
      return;
    }
    auto group = groups.find(key);
    if (group == groups.end() || group->second.empty()) return;
    if (event == Event::kCreated) {
      dirtyKeys.insert(key);
    } else {
      remappedKeys.insert(key);
    }
  }

  // Drops the meshes of every element with a body on a remapped material
  // and clears its generation id, so that the walk builds it again.
  void RebuildRemapped() {
    if (remappedKeys.empty()) return;
    for (auto& [guid, entry] : elements) {
      const bool uses = std::any_of(entry.bodies.begin(), entry.bodies.end(), [&](const auto& body) {
        return std::any_of(remappedKeys.begin(), remappedKeys.end(),
                           [&](std::uint64_t key) { return body->UsesMaterial(key); });
      });
      if (!uses) continue;
      DiscardMeshes(entry);
      entry.genId = 0;
    }
    remappedKeys.clear();
  }

  // Whether a walk now would change anything, found by reading only: a
  // walk that finds nothing must not stop a publication that runs
  // meanwhile (every walk takes the gate). The element table and the
  // material records' keys and stamps are the host thread's alone, so they
  // are read here without the gate.
  bool WalkWouldChange() const {
    const std::int32_t n = model->GetElementNum();
    if (n <= 0) return !elements.empty();
    if (materials != nullptr && (materials->HasPending() || !materials->IsCurrent())) return true;
    std::size_t met = 0;
    for (std::int32_t i = 1; i <= n; ++i) {
      ModelerAPI::Element element;
      model->GetElement(i, &element);
      if (element.IsInvalid()) continue;
      auto found = elements.find(element.GetElemGuid());
      if (found == elements.end()) {
        if (element.GetBodyNum() > 0) return true;
        continue;
      }
      if (found->second.genId != element.GetGenId()) return true;
      ++met;
    }
    // Fewer met than known: an element went away. More (a GUID twice in
    // the model): the walk decides.
    return met != elements.size();
  }

  CorvantaAPI::LiveConnection* connection;
  MaterialLibrary* materials;
  MaterialGroups groups;
  DirtyKeySet dirtyKeys{8};
  std::unique_ptr<MeshBuilder> builder;
  std::unordered_map<API_Guid, ElementInfo, GuidHash> elements;
  // The element each model index held at the last walk (null where none
  // was met): the host keeps its order between edits, so a walk finds most
  // entries here instead of in the table, whose lookups were most of an
  // edit's walk on a large model. Rebuilt by every walk, so it never names
  // an entry that RemoveStale erased.
  std::vector<std::pair<API_Guid, ElementInfo*>> byIndex;
  std::uint64_t walkCounter = 0;
  std::atomic<bool> running{false};
  std::atomic<bool> publishRequested{false};
  std::thread worker;
  ModelGate gate;

  // The worker's wake-up: RequestPublish and Stop raise it so the worker
  // does not sleep out its interval.
  base::Mutex wakeMutex;
  std::condition_variable wakeCv;
  bool wake GUARDED_BY(wakeMutex) = false;

  ModelerAPI::Model* model = nullptr;
  // Sum of the host vertex counts of every built body (host thread).
  std::uint64_t vertexTotal = 0;
  // A walk that could not take the gate changed nothing; the next walk
  // does its work.
  bool walkDeferred = false;
  std::atomic<std::uint64_t> completedBatches{0};

  std::function<void(const char*)> debugOutput;
  std::function<void()> turnHook;
  // Materials whose texture mapping a walk's refresh changed (host thread).
  std::unordered_set<std::uint64_t> remappedKeys;

  void Debug(const char* text) const {
    if (debugOutput) {
      debugOutput(text);
    } else {
      std::fputs(text, stderr);
    }
  }

  // The walk's side: clears publishRequested first, so that a running
  // pass gives up at its next check, then waits up to budgetMs.
  bool TakeGateForWalk(std::uint32_t budgetMs) {
    publishRequested.store(false);
    if (gate.TakeForWalk(std::chrono::milliseconds(budgetMs))) return true;
    Debug("\n --- Can't lock mutex! ---\n");
    return false;
  }

  void Wake() {
    {
      base::MutexLock lock(wakeMutex);
      wake = true;
    }
    wakeCv.notify_one();
  }

  // Whether a publication is waiting; looked at only while no publish
  // turn runs.
  bool PublishPending() const { return (materials != nullptr && materials->HasPending()) || !dirtyKeys.empty(); }

  // A mesh leaves its group before it is freed, and the body and the
  // mesh go from the back one at a time: a discard that fails part way (an
  // allocation of the dirty set or of a group) leaves every mesh still held
  // either in its group and its body or in neither, for the next discard
  // to finish.
  void DiscardMeshes(ElementInfo& entry) {
    while (!entry.bodies.empty()) {
      BodyInfo& body = *entry.bodies.back();
      while (!body.meshes.empty()) {
        MeshInfo* mesh = body.meshes.back().get();
        dirtyKeys.insert(mesh->materialKey);
        auto group = groups.find(mesh->materialKey);
        if (group != groups.end()) group->second.erase(mesh);
        body.meshes.pop_back();
      }
      vertexTotal -= static_cast<std::uint64_t>(body.vertexCount > 0 ? body.vertexCount : 0);
      entry.bodies.pop_back();
    }
  }

  std::size_t RemoveStale() {
    std::size_t removed = 0;
    for (auto it = elements.begin(); it != elements.end();) {
      if (it->second.lastWalk < walkCounter) {
        ++removed;
        DiscardMeshes(it->second);
        it = elements.erase(it);
      } else {
        ++it;
      }
    }
    return removed;
  }
};

ACScene::ACScene(CorvantaAPI::LiveConnection* connection, MaterialLibrary* materials)
    : s_(std::make_unique<State>(connection, materials)) {}

ACScene::~ACScene() {
  Stop();
  s_->builder.reset();
}

void ACScene::SetDebugOutput(std::function<void(const char*)> output) {
  s_->debugOutput = std::move(output);
  s_->builder->SetDebugOutput([this](std::string_view text) {
    const std::string copy(text);
    s_->Debug(copy.c_str());
  });
}

void ACScene::Begin(ModelerAPI::Model* model, const context::PluginSettings* settings) {
  Stop();
  s_->model = model;
  if (settings != nullptr) {
    s_->builder->SetOptions(settings->SmoothSurfaces(), settings->OptimizeSurfaces(), settings->EffectiveOffset());
  } else {
    s_->builder->SetOptions(true, true, 0.0f);
  }
  Resync();
  // The worker is stopped: the gate is free once the walk lets it go.
  s_->gate.ReleaseWalk();
  s_->publishRequested.store(false);
  s_->running.store(true);
  {
    base::MutexLock lock(s_->wakeMutex);
    s_->wake = false;
  }
  s_->worker = std::thread([this] { WorkerLoop(); });
}

bool ACScene::Resync() {
  State& s = *s_;
  if (s.model == nullptr) return false;
  // Only a running pass has anything to lose to a walk; an idle worker
  // gives the gate at once, and the walk itself finds whether anything
  // changed without reading the model twice.
  if (!s.walkDeferred && s.publishRequested.load() && !s.WalkWouldChange()) return false;
  // The whole walk holds the gate: no pass may read meshes, groups or
  // material records while they change. A pass that was wanted is wanted
  // again afterwards.
  const bool wasRequested = s.publishRequested.load();
  if (!s.TakeGateForWalk(50)) {
    s.walkDeferred = true;
    if (wasRequested) s.publishRequested.store(true);
    return false;
  }
  s.walkDeferred = false;
  bool changed = false;
  try {
    changed = Walk();
  } catch (...) {
    // A walk that failed part way (the host ran out of memory) left its
    // elements to be built again by the next one; the gate goes back so
    // that the next walk, and the worker meanwhile, can take it.
    s.gate.ReleaseWalk();
    if (wasRequested) s.publishRequested.store(true);
    throw;
  }
  // A walk that changed something keeps the gate until RequestPublish hands
  // it to the worker, so that nothing a pass changes (the dirty keys it
  // removes) meets the updater's look at them. Otherwise the worker may go
  // on with what it was asked to do.
  if (!changed) {
    s.gate.ReleaseWalk();
    if (wasRequested) s.publishRequested.store(true);
  }
  return changed;
}

bool ACScene::Walk() {
  State& s = *s_;
  s.walkCounter += 1;
  const std::int32_t n = s.model->GetElementNum();
  if (n <= 0) {
    s.byIndex.clear();
    if (s.elements.empty()) return false;
    return s.RemoveStale() != 0;
  }

  const std::size_t removedMaterials = s.materials != nullptr ? s.materials->Refresh(s.walkCounter) : 0;
  s.RebuildRemapped();
  // The host bumps only a material's stamp for a colour, transparency or
  // texture change: no element is rebuilt, yet the record must reach the
  // renderer.
  const bool materialsPending = s.materials != nullptr && s.materials->HasPending();

  // Elements to build, read once: an Element keeps the state it was read
  // from, so its bodies match the generation id recorded here.
  std::vector<std::pair<ElementInfo*, ModelerAPI::Element>> toBuild;
  s.byIndex.resize(std::size_t(n));
  // A first walk meets every element as new: room made once, not by a
  // rehash of the whole table each time it doubles. Only then: a reserve
  // may also rehash a table down, which an edit's walk must not pay for.
  if (s.elements.empty()) s.elements.reserve(std::size_t(n));
  std::size_t met = 0;     // known elements seen by this walk
  bool discarded = false;  // some element's meshes were dropped: the model changed
  for (std::int32_t i = 1; i <= n; ++i) {
    auto& known = s.byIndex[std::size_t(i - 1)];
    const auto last = known;
    known = {};
    ModelerAPI::Element element;
    s.model->GetElement(i, &element);
    if (element.IsInvalid()) continue;
    const std::uint32_t genId = element.GetGenId();
    const API_Guid guid = element.GetElemGuid();
    const std::int32_t bodyCount = element.GetBodyNum();
    ElementInfo* cached = last.second != nullptr && last.first == guid ? last.second : nullptr;
    if (cached == nullptr) {
      if (bodyCount <= 0) {
        auto found = s.elements.find(guid);
        if (found == s.elements.end()) continue;
        cached = &found->second;
      } else {
        cached = &s.elements.try_emplace(guid).first->second;
      }
    }
    ElementInfo& entry = *cached;
    known = {guid, &entry};
    if (entry.lastWalk == s.walkCounter) continue;  // the same GUID twice in one model: first wins
    entry.lastWalk = s.walkCounter;
    ++met;
    if (entry.genId != genId) {
      // Meshes without a generation id are what a failed walk left.
      if (entry.genId != 0 || !entry.bodies.empty()) {
        s.DiscardMeshes(entry);
        discarded = true;
      }
      // Generation id 0 means nothing to build. The id is recorded only
      // once the element is listed for building, so that a walk that fails
      // before builds it next time.
      if (genId != 0) toBuild.emplace_back(&entry, std::move(element));
      entry.genId = genId;
    }
  }
  // Every element this walk met is marked; when that is all of them none is
  // stale, and the look through the whole table (most of a one-element
  // edit's walk on a large model) is not needed.
  const std::size_t removed = met == s.elements.size() ? 0 : s.RemoveStale();
  // An element whose generation id fell to 0 lost its meshes and builds
  // nothing: its keys are dirty, and the walk must say so.
  if (toBuild.empty()) return discarded || removedMaterials + removed != 0 || materialsPending;

  // A walk that builds many elements (a start, a large edit) finishes their
  // meshes on a thread of its own meanwhile: reading the host is this
  // thread's alone, finishing is not, and a finished mesh no longer holds
  // its raw corners. Each is finished with the record its publication would
  // use, looked up here, where the library may grow. What the thread has
  // not reached when the walk ends, the publication finishes, with the same
  // result.
  std::optional<MeshFinisher> finisher;
  try {
    if (toBuild.size() >= kFinishAlongside && s.materials != nullptr) finisher.emplace(*s.builder);
    for (auto& [entry, element] : toBuild) {
      const std::int32_t bodyCount = element.GetBodyNum();
      for (std::int32_t b = 1; b <= bodyCount; ++b) {
        ModelerAPI::Body body;
        element.GetBody(b, &body);
        // The entry's room first: a built body's meshes are in their groups
        // already, so it must reach its entry (whose discard takes them out)
        // without an allocation in between.
        auto& bodies = entry->bodies;
        if (bodies.size() == bodies.capacity()) bodies.reserve(std::max<std::size_t>(4, 2 * bodies.size()));
        bodies.push_back(s.builder->BuildBody(body));
        const BodyInfo& info = *bodies.back();
        s.vertexTotal += static_cast<std::uint64_t>(info.vertexCount > 0 ? info.vertexCount : 0);
        if (finisher) {
          for (const auto& mesh : info.meshes)
            if (const MaterialRecord* record = s.materials->Holding(mesh->materialKey))
              finisher->Queue(mesh.get(), record);
        }
      }
    }
    if (finisher) finisher->Stop();
  } catch (...) {
    // Every element of this walk is built again, whole, by the next walk:
    // half an element must never reach the renderer. The finisher's thread
    // ends before the meshes it may be finishing go.
    finisher.reset();
    for (auto& [entry, element] : toBuild) entry->genId = 0;
    for (auto& [entry, element] : toBuild) s.DiscardMeshes(*entry);
    throw;
  }
  return true;
}

void ACScene::RequestPublish() {
  State& s = *s_;
  // The dirty keys are looked at only while no publish turn runs: with the
  // gate a walk left held, or else with the gate taken here for a moment.
  bool pending = false;
  if (s.gate.HeldByWalk()) {
    pending = s.PublishPending();
    if (pending) s.publishRequested.store(true);
    s.gate.ReleaseWalk();
  } else {
    s.gate.Take();
    pending = s.PublishPending();
    if (pending) s.publishRequested.store(true);
    s.gate.Release();
  }
  if (pending) s.Wake();
}

void ACScene::Stop() {
  State& s = *s_;
  s.running.store(false);
  s.publishRequested.store(false);
  s.gate.ReleaseWalk();
  s.Wake();
  if (s.worker.joinable()) s.worker.join();
  for (auto& [guid, entry] : s.elements) s.DiscardMeshes(entry);
  s.model = nullptr;
  s.elements.clear();
  s.byIndex.clear();
  s.dirtyKeys.clear();
  s.groups.clear();
  s.vertexTotal = 0;
  s.walkDeferred = false;
}

std::uint64_t ACScene::GetVertexCount() const { return s_->vertexTotal; }

std::u16string VertexCountText(std::uint64_t count) {
  return util::FormatString(u"%llu", static_cast<unsigned long long>(count));
}

std::u16string ACScene::GetVertexCountText() const { return VertexCountText(s_->vertexTotal); }

void ACScene::SetWorkerTurnHook(std::function<void()> hook) { s_->turnHook = std::move(hook); }

bool ACScene::PublishPass(std::uint32_t budgetMs) {
  State& s = *s_;
  if (s.dirtyKeys.empty() || !s.publishRequested.load()) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
  base::ConcurrentSet<std::uint64_t> processed;
  base::ConcurrentSet<std::uint32_t> release;
  std::atomic<bool> keepGoing{true};
  GeometryPass pass{s.publishRequested, keepGoing, deadline, processed, release};
  // Keys are copied first: the set is not changed during a pass (walks hold
  // the gate), but a plain vector splits better over the parallel tasks.
  std::vector<std::uint64_t> keys(s.dirtyKeys.begin(), s.dirtyKeys.end());
  base::ParallelFor(keys.size(), [&](std::size_t i) {
    if (pass.Going()) s.builder->WriteGeometry(*s.connection, keys[i], pass);
  });
  for (std::uint32_t id : release) s.connection->ReleaseBlock(id);
  // Keys written completely are done even when a walk interrupted the pass:
  // the walk is still waiting for the gate, and whatever it changes marks
  // its keys dirty again. Writing them once more would make every re-read
  // during a long publication start the work over.
  for (std::uint64_t key : processed) s.dirtyKeys.unsafe_erase(key);
  if (!processed.empty()) s.connection->SetFlags(CorvantaAPI::kFlagChanged);
  if (!s.publishRequested.load()) return true;
  return s.dirtyKeys.empty();
}

void ACScene::WorkerLoop() {
  State& s = *s_;
  std::uint64_t failedTurns = 0;
  while (s.running.load()) {
    bool failed = false;
    if (s.publishRequested.load()) {
      s.gate.Take();
      bool complete = false;
      bool locked = false;
      // A turn that fails (memory ran out) must not end the host with its
      // thread: the lock and the gate go back, the keys it did not finish
      // stay dirty, and the next turn writes them again. A block it meant
      // to replace stays until the link ends rather than be freed while a
      // record may still name it.
      try {
        if (s.connection->Lock(10000)) {
          locked = true;
          if (s.running.load()) {
            if (s.turnHook) s.turnHook();
            if (s.materials != nullptr) s.materials->Publish();
            // Complete only when nothing is left: a pass cut short by a walk
            // must not announce or wake the renderer for half a model.
            if (PublishPass(100) && s.dirtyKeys.empty() && s.publishRequested.load()) {
              complete = true;
              s.publishRequested.store(false);
            }
          }
          locked = false;
          s.connection->Unlock();
          if (complete && s.running.load()) {
            // The link is open and named, so the announcement cannot be
            // refused; a renderer with no window to wake reads the batch
            // when it next looks (the header counts the change).
            (void)s.connection->Announce();
            (void)s.connection->Notify(CorvantaAPI::kNotifyChanged, 0);
            s.completedBatches.fetch_add(1);
          }
        }
      } catch (...) {
        if (locked) s.connection->Unlock();
        if (complete) s.publishRequested.store(true);
        // Told without allocating: memory may be what ran out.
        if (failedTurns++ == 0) {
          char text[256];
          std::snprintf(text, sizeof text, "Corvanta: publishing stopped: %s\n", base::CurrentExceptionText());
          s.Debug(text);
        }
        failed = true;
      }
      s.gate.Release();
      if (!failed && failedTurns != 0) {
        char text[96];
        std::snprintf(text, sizeof text, "Corvanta: publishing runs again after %llu failed\n",
                      static_cast<unsigned long long>(failedTurns));
        failedTurns = 0;
        s.Debug(text);
      }
    }
    if (!s.running.load()) break;
    const auto interval = std::chrono::milliseconds(s.publishRequested.load() && !failed ? 5 : 50);
    const auto deadline = std::chrono::steady_clock::now() + interval;
    base::MutexLock lock(s.wakeMutex);
    while (!s.wake && s.running.load()) {
      if (!lock.WaitUntil(s.wakeCv, deadline)) break;
    }
    s.wake = false;
  }
}

std::size_t ACScene::ElementCount() const { return s_->elements.size(); }
std::size_t ACScene::DirtyKeyCount() const { return s_->dirtyKeys.size(); }
bool ACScene::IsPublishRequested() const { return s_->publishRequested.load(); }
bool ACScene::IsWorkerRunning() const { return s_->worker.joinable() && s_->running.load(); }
bool ACScene::IsWalkDeferred() const { return s_->walkDeferred; }
std::uint64_t ACScene::CompletedBatches() const { return s_->completedBatches.load(); }

}  // namespace scene
