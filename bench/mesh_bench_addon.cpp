// The mesh benchmark's add-on: the host stand-in loads this module and the
// benchmark program calls MeshBench_Run inside it, so materials and bodies
// are read through the host exactly as the live link reads them. Measures
// the walk with BuildBody, finishing and welding in parallel, the heap the
// built scene takes against its finished geometry, the linear weld against
// the quadratic one, and the geometry write against memcpy, whole and after
// an edit of one mesh.
#include <malloc.h>
#include <oneapi/tbb/parallel_for.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hostsdk/acapi.h"
#include "hostsdk/loader.h"
#include "hostsdk/sight.h"
#include "livelink/live_connection.h"
#include "scene/material_library.h"
#include "scene/mesh_builder.h"
#include "scene/weld_mesh.h"
#include "weld_baseline.h"

using Clock = std::chrono::steady_clock;

API_AddonType CheckEnvironment(API_EnvirParams*) { return API_AddonType(1); }
GSErrCode RegisterInterface() { return 0; }
GSErrCode Initialize() { return 0; }
GSErrCode FreeData() { return 0; }

namespace {

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// Samples the heap every millisecond while alive; peak is the largest seen.
class HeapSampler {
 public:
  HeapSampler()
      : thread_([this] {
          while (!stop_) {
            peak_ = std::max(peak_.load(), HeapInUse());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        }) {}
  ~HeapSampler() { Stop(); }
  std::size_t Stop() {
    if (!stop_.exchange(true)) thread_.join();
    peak_ = std::max(peak_.load(), HeapInUse());
    return peak_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> peak_{0};
  std::thread thread_;
};

struct Scene {
  scene::MaterialGroups groups;
  scene::DirtyKeySet dirty;
  std::vector<std::unique_ptr<scene::BodyInfo>> bodies;
  std::vector<scene::MeshInfo*> meshes;
};

// The host-thread walk: every body of every element built.
void Walk(const ModelerAPI::Model& model, scene::MeshBuilder& builder, Scene& s) {
  const int n = model.GetElementNum();
  ModelerAPI::Element element;
  ModelerAPI::Body body;
  for (int e = 1; e <= n; ++e) {
    model.GetElement(e, &element);
    const int bodies = element.GetBodyNum();
    for (int b = 1; b <= bodies; ++b) {
      element.GetBody(b, &body);
      s.bodies.push_back(builder.BuildBody(body));
    }
  }
  for (auto& built : s.bodies)
    for (auto& mesh : built->meshes) s.meshes.push_back(mesh.get());
}

void Finish(const scene::MeshBuilder& builder, const scene::MaterialLibrary& library, Scene& s) {
  tbb::parallel_for(std::size_t(0), s.meshes.size(),
                    [&](std::size_t i) { builder.FinishMesh(s.meshes[i], library.Find(s.meshes[i]->materialKey)); });
}

// A grid of quads, each its own piece: four corners per quad, neighbours
// sharing positions, as unwelded flat meshes come out of FinishMesh.
scene::MeshInfo GridMesh(int quads) {
  scene::MeshInfo mesh(nullptr, 1, false, 0);
  mesh.polygons.reset();
  const int side = static_cast<int>(std::ceil(std::sqrt(double(quads))));
  for (int q = 0; q < quads; ++q) {
    const float x = float(q % side), z = float(q / side);
    const float corners[4][2] = {{x, z}, {x + 1, z}, {x + 1, z + 1}, {x, z + 1}};
    const std::uint32_t base = std::uint32_t(4 * q);
    for (const auto& c : corners) {
      mesh.positions.insert(mesh.positions.end(), {c[0], 0.0f, c[1]});
      mesh.normals.insert(mesh.normals.end(), {0.0f, 1.0f, 0.0f});
      mesh.texCoords.insert(mesh.texCoords.end(), {c[0] / 4, 1 - c[1] / 4});
    }
    mesh.indices.insert(mesh.indices.end(), {base, base + 1, base + 2, base, base + 2, base + 3});
  }
  mesh.vertexCount = 4 * quads;
  mesh.indexCount = static_cast<std::int32_t>(mesh.indices.size());
  return mesh;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int MeshBench_Run(int repeats) {
  Modeler::SightPtr sight;
  if (ACAPI_3D_CreateSight(&sight) != NoError) return 1;
  ModelerAPI::Model model;
  AttributeReader reader;
  if (EXPGetModel(sight, &model, &reader) != NoError) return 1;

  scene::MaterialLibrary library;
  library.BeginLink(&model, u"/tmp/mesh-bench-" + std::u16string(u"project.pln"));
  library.Refresh(1);

  // ---- Walk + BuildBody, then finishing and welding -------------------------------
  std::vector<double> walk, finish, finishPlain;
  std::size_t built = 0, peak = 0, geometry = 0, triangles = 0, vertices = 0, meshCount = 0, bodyCount = 0;
  // The last run, untimed, measures the heap: the sampler's mallinfo2 walks
  // the allocator's bins under its lock every millisecond, which would slow
  // the allocating threads of a timed run.
  for (int run = 0; run <= repeats; ++run) {
    const bool measureHeap = run == repeats;
    for (bool optimize : {true, false}) {
      if (measureHeap && !optimize) continue;
      const std::size_t before = HeapInUse();
      std::optional<HeapSampler> sampler;
      if (measureHeap) sampler.emplace();
      auto s = std::make_unique<Scene>();
      scene::MeshBuilder builder(&library, &s->groups, &s->dirty);
      builder.SetOptions(true, optimize, 0.01f);
      const auto t0 = Clock::now();
      Walk(model, builder, *s);
      const auto t1 = Clock::now();
      const std::size_t afterBuild = HeapInUse();
      Finish(builder, library, *s);
      const auto t2 = Clock::now();
      const std::size_t top = sampler ? sampler->Stop() : 0;
      if (optimize && !measureHeap) {
        walk.push_back(Seconds(t0, t1));
        finish.push_back(Seconds(t1, t2));
      } else if (measureHeap) {
        built = afterBuild - before;
        peak = top - before;
        geometry = triangles = vertices = 0;
        for (scene::MeshInfo* m : s->meshes) {
          geometry += m->GeometryBytes();
          triangles += std::size_t(m->indexCount / 3);
          vertices += std::size_t(m->vertexCount);
        }
        meshCount = s->meshes.size();
        bodyCount = s->bodies.size();
      } else {
        finishPlain.push_back(Seconds(t1, t2));
      }
    }
  }
  std::printf("scene: %zu bodies, %zu meshes, %zu triangles, %zu vertices after welding\n", bodyCount, meshCount,
              triangles, vertices);
  std::printf("walk + BuildBody (host thread):      median %.3f s of %d   (target <= 1.0 s)\n", Median(walk), repeats);
  std::printf("FinishMesh + weld (parallel):        median %.3f s of %d   (target <= 1.0 s)\n", Median(finish),
              repeats);
  std::printf("FinishMesh without weld (parallel):  median %.3f s of %d\n", Median(finishPlain), repeats);
  std::printf(
      "heap: built scene %.1f MB, peak %.1f MB, finished geometry %.1f MB: peak/geometry %.2f, "
      "built/geometry %.2f   (target peak <= 3x)\n",
      built / 1e6, peak / 1e6, geometry / 1e6, double(peak) / double(geometry), double(built) / double(geometry));

  // ---- Linear weld against the quadratic one, 20k vertices --------------------------
  {
    std::vector<double> linear, quadratic;
    std::size_t mergedLinear = 0, mergedQuadratic = 0;
    bool same = true;
    for (int run = 0; run < 5; ++run) {
      scene::MeshInfo a = GridMesh(5000), b = GridMesh(5000);
      auto t0 = Clock::now();
      mergedLinear = scene::WeldMesh(a);
      auto t1 = Clock::now();
      linear.push_back(Seconds(t0, t1));
      if (run < 3) {
        t0 = Clock::now();
        mergedQuadratic = weld_baseline::WeldByKeysQuadratic(b);
        t1 = Clock::now();
        quadratic.push_back(Seconds(t0, t1));
        same = same && a.indices == b.indices && a.positions == b.positions && a.normals == b.normals &&
               a.texCoords == b.texCoords;
      }
    }
    std::printf(
        "weld of 20000 vertices: linear median %.3f ms, quadratic median %.1f ms, ratio %.0fx, "
        "%zu / %zu merged, results %s\n",
        Median(linear) * 1e3, Median(quadratic) * 1e3, Median(quadratic) / Median(linear), mergedLinear,
        mergedQuadratic, same ? "identical" : "DIFFERENT");
  }

  // ---- Geometry write of one material holding everything, against memcpy -----------
  {
    auto s = std::make_unique<Scene>();
    scene::MeshBuilder builder(&library, &s->groups, &s->dirty);
    builder.SetOptions(true, true, 0.01f);
    Walk(model, builder, *s);
    Finish(builder, library, *s);
    // A mesh is in one group at a time: the walk's groups are done with.
    s->groups.clear();
    scene::MaterialGroups one;
    for (scene::MeshInfo* m : s->meshes) one[scene::kDefaultMaterialKey].insert(m);
    scene::MeshBuilder writer(&library, &one, nullptr);

    CorvantaAPI::LiveConnection connection;
    const std::u16string name = u"/tmp/mesh-bench-" + std::u16string(1, char16_t(u'a' + getpid() % 26)) + u".dae";
    if (connection.Create(name, 16) != CorvantaAPI::CreateResult::kOk) {
      std::printf("geometry write: no control area\n");
      return 1;
    }
    CorvantaAPI::Record* record = connection.CreateRecord(CorvantaAPI::kTypeSurface);
    library.DefaultMaterial().linkRecord = record;
    std::atomic<bool> requested{true}, going{true};
    base::ConcurrentSet<std::uint64_t> processed;
    base::ConcurrentSet<std::uint32_t> release;
    auto write = [&] {
      going = true;
      scene::GeometryPass pass{requested, going, Clock::now() + std::chrono::hours(1), processed, release};
      const auto t0 = Clock::now();
      writer.WriteGeometry(connection, scene::kDefaultMaterialKey, pass);
      return Seconds(t0, Clock::now());
    };
    const double cold = write();
    std::uint32_t id;
    std::memcpy(&id, reinterpret_cast<std::uint8_t*>(record) + CorvantaAPI::kSurfaceGeometryBlockIdOffset, 4);
    std::uint32_t head[2];
    auto* block = static_cast<std::uint8_t*>(connection.OpenBlock(id));
    std::memcpy(head, block, 8);
    const std::size_t bytes = scene::GeometryBlockBytes(head[0], head[1]);
    // A warm write of the whole block: every mesh inserted anew, so that
    // no slot keeps its bytes. Then what an edit costs: one mesh replaced by
    // itself (its bytes only), nothing changed at all (the group's walk),
    // and one mesh taken out and put back (the counts change: its vertices
    // and the indices from it on).
    scene::MaterialGroup& group = one[scene::kDefaultMaterialKey];
    std::vector<double> warm, copy, oneMesh, unchanged, outAndBack;
    for (int run = 0; run < 7; ++run) {
      group.clear();
      for (scene::MeshInfo* m : s->meshes) group.insert(m);
      warm.push_back(write());
      scene::MeshInfo* middle = s->meshes[s->meshes.size() / 2];
      group.erase(middle);
      group.insert(middle);
      oneMesh.push_back(write());
      unchanged.push_back(write());
      group.erase(middle);
      outAndBack.push_back(write());
      group.insert(middle);
      outAndBack.push_back(write());
    }
    std::vector<std::uint8_t> source(bytes, 1);
    for (int run = 0; run < 7; ++run) {
      const auto t0 = Clock::now();
      std::memcpy(block, source.data(), bytes);
      copy.push_back(Seconds(t0, Clock::now()));
    }
    std::printf(
        "geometry write of one material: %u vertices, %u indices, %.1f MB: cold %.1f ms, warm median "
        "%.1f ms (%.2f GB/s); memcpy median %.1f ms (%.2f GB/s); write/memcpy bandwidth %.2f  "
        "(target >= 0.3)\n",
        head[0], head[1], bytes / 1e6, cold * 1e3, Median(warm) * 1e3, bytes / Median(warm) / 1e9, Median(copy) * 1e3,
        bytes / Median(copy) / 1e9, Median(copy) / Median(warm));
    std::printf(
        "geometry write after an edit: one mesh replaced median %.2f ms, nothing changed median %.2f ms, "
        "one mesh taken out or put back (counts change) median %.2f ms\n",
        Median(oneMesh) * 1e3, Median(unchanged) * 1e3, Median(outAndBack) * 1e3);
    library.DefaultMaterial().linkRecord = nullptr;
    connection.Destroy();
  }
  library.Reset();
  return 0;
}
