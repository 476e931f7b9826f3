// Mesh benchmark: a generated building (building_gen's, ~1.5M triangles by
// default) opened in the host stand-in, then, inside a small add-on, the
// walk with BuildBody, finishing and welding in parallel, the heap of the
// built scene against its finished geometry, the linear weld against the
// quadratic one on 20k vertices, and the geometry write of one material
// against memcpy. Medians and ratios come from the same run.
//   mesh_bench [--triangles N] [--model FILE.obj] [--repeats R]
#include <dlfcn.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "building_generator.h"
#include "host/host.h"
#include "isolation.h"

namespace {

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Mesh building, welding and geometry write on a generated building"};
  std::uint64_t triangles = 1'500'000;
  std::string modelPath;
  int repeats = 3;
  app.add_option("-t,--triangles", triangles, "size of the generated building");
  app.add_option("-m,--model", modelPath, "an OBJ (or any model file) to use instead of generating one");
  app.add_option("-r,--repeats", repeats, "runs of the walk and the finishing")->check(CLI::Range(1, 50));
  CLI11_PARSE(app, argc, argv);

  livelink_test::Isolated();  // private registry and runtime folders
  std::printf("machine: %u hardware threads, load average %s\n", std::thread::hardware_concurrency(),
              LoadAverage().c_str());

  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("mesh-bench-" + std::to_string(getpid()));
  if (modelPath.empty()) {
    bench::BuildingOptions options;
    options.triangles = triangles;
    bench::BuildingSummary summary;
    std::string error;
    modelPath = (dir / "building.obj").string();
    if (!bench::WriteBuilding(modelPath, options, &summary, &error)) {
      std::fprintf(stderr, "mesh_bench: %s\n", error.c_str());
      return 1;
    }
    std::printf("building: %llu triangles, %llu objects, %d floors\n",
                static_cast<unsigned long long>(summary.triangles), static_cast<unsigned long long>(summary.objects),
                summary.floors);
  }

  int result = 1;
  {
    host::Host host;
    auto addon = host.LoadAddon(MESH_BENCH_ADDON);
    if (!addon) {
      std::fprintf(stderr, "mesh_bench: %s\n", addon.error().c_str());
      return 1;
    }
    const auto t0 = std::chrono::steady_clock::now();
    if (auto opened = host.OpenProject(modelPath); !opened) {
      std::fprintf(stderr, "mesh_bench: %s\n", opened.error().c_str());
      return 1;
    }
    host.SwitchWindow(hostmodel::WindowType::ThreeD);
    std::printf("host import of %s: %.1f s (assimp and the host stand-in, not measured against targets)\n",
                modelPath.c_str(), std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    void* module = dlopen(MESH_BENCH_ADDON, RTLD_NOW | RTLD_NOLOAD);
    auto run = module ? reinterpret_cast<int (*)(int)>(dlsym(module, "MeshBench_Run")) : nullptr;
    if (run == nullptr) {
      std::fprintf(stderr, "mesh_bench: MeshBench_Run not found in the add-on\n");
      return 1;
    }
    result = run(repeats);
    if (module) dlclose(module);
  }
  std::printf("machine after the run: load average %s\n", LoadAverage().c_str());
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return result;
}
