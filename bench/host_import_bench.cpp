// The host stand-in's reading of a large OBJ model (file to host project,
// as `open` and `hostsim export` do it) against assimp's own import of the
// same file, in the same run, alternating so both see the same machine.
// Reports the median wall and CPU time of each and their ratio; the goal is
// a host import (the whole open) within 0.4 of assimp's import. The host's import
// through assimp's OBJ importer (what the host did before it read OBJ files
// itself) runs alongside as the earlier figure, and the two host models are
// compared: the direct reader must give the same project. With --save, the
// host's save of the opened project as a project file (what `saveas`
// writes) is timed too.
//
//   host_import_bench [--triangles N] [--runs R] [--model FILE.obj] [--save FOLDER]
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "building_generator.h"
#include "hostmodel/import.h"
#include "hostmodel/project_file.h"
#include "machine_state.h"
#include "run_timing.h"

namespace {

using bench::Time;
using bench::Timing;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"host stand-in OBJ import against assimp's import of the same file"};
  std::uint64_t triangles = 1'500'000;
  int runs = 5;
  std::string model;
  app.add_option("--triangles", triangles, "size of the generated building (default 1500000)");
  app.add_option("--runs", runs, "runs of each import (default 5)")->check(CLI::Range(1, 100));
  app.add_option("--model", model, "an OBJ file to read instead of a generated building");
  std::string saveFolder;
  bool hostOnly = false;
  app.add_flag("--host-only", hostOnly,
               "time the host's import (and save) only: assimp's OBJ importer searches its objects by name for "
               "every object line, which takes very long on a file of 100,000 objects and more");
  app.add_option("--save", saveFolder, "also time saving the host's project into this folder");
  CLI11_PARSE(app, argc, argv);

  std::filesystem::path dir;
  if (model.empty()) {
    dir = std::filesystem::temp_directory_path() / ("host_import_bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    bench::BuildingOptions options;
    options.triangles = triangles;
    bench::BuildingSummary summary;
    std::string error;
    model = (dir / "building.obj").string();
    if (!bench::WriteBuilding(model, options, &summary, &error)) {
      std::fprintf(stderr, "host_import_bench: %s\n", error.c_str());
      return 1;
    }
    std::printf("model: generated building, %llu triangles, %llu vertices, %llu objects\n",
                static_cast<unsigned long long>(summary.triangles), static_cast<unsigned long long>(summary.vertices),
                static_cast<unsigned long long>(summary.objects));
  }
  std::error_code ec;
  std::printf("file: %s (%.1f MB)\n", model.c_str(), double(std::filesystem::file_size(model, ec)) / 1e6);

  Timing assimp, host, hostViaAssimp, save;
  std::uintmax_t savedBytes = 0;
  std::size_t elements = 0;
  std::string fallback;
  bool same = true;
  for (int i = 0; i < runs; ++i) {
    // assimp's import as its own tools read a file: the parse, no
    // post-processing asked for.
    const bool a = hostOnly || Time(assimp, [&] {
                     Assimp::Importer importer;
                     return importer.ReadFile(model, 0) != nullptr;
                   });
    hostmodel::Result<hostmodel::Project> direct = hostmodel::Result<hostmodel::Project>::Fail("");
    hostmodel::Result<hostmodel::Project> viaAssimp = hostmodel::Result<hostmodel::Project>::Fail("");
    const bool h = Time(host, [&] {
      hostmodel::ImportOptions options;
      options.objFallback = &fallback;
      direct = hostmodel::ImportModel(model, options);
      if (direct) elements = direct->elements.size();
      return direct.ok();
    });
    const bool v = hostOnly || Time(hostViaAssimp, [&] {
                     hostmodel::ImportOptions options;
                     options.directObj = false;
                     viaAssimp = hostmodel::ImportModel(model, options);
                     return viaAssimp.ok();
                   });
    if (!a || !h || !v) {
      std::fprintf(stderr, "host_import_bench: an import failed (assimp %d, host %d, host via assimp %d)\n", a, h, v);
      return 1;
    }
    if (i == 0 && !hostOnly) same = direct.value() == viaAssimp.value();
    viaAssimp = hostmodel::Result<hostmodel::Project>::Fail("");
    if (!saveFolder.empty()) {
      const std::string target = (std::filesystem::path(saveFolder) / "host_import_bench.pln").string();
      if (!Time(save, [&] { return hostmodel::SaveProjectFile(direct.value(), target).ok(); })) {
        std::fprintf(stderr, "host_import_bench: cannot save %s\n", target.c_str());
        return 1;
      }
      savedBytes = std::filesystem::file_size(target, ec);
      std::filesystem::remove(target, ec);
    }
  }
  const double aw = Timing::Median(assimp.wall), hw = Timing::Median(host.wall);
  const double ac = Timing::Median(assimp.cpu), hc = Timing::Median(host.cpu);
  const double vw = Timing::Median(hostViaAssimp.wall), vc = Timing::Median(hostViaAssimp.cpu);
  std::printf("runs: %d each, alternating; host project: %zu elements\n", runs, elements);
  std::printf("reader: %s; the host's model %s the one read through assimp's importer\n",
              fallback.empty() ? "the host's own OBJ reader" : ("assimp (" + fallback + ")").c_str(),
              hostOnly ? "is not compared with"
              : same   ? "equals"
                       : "DIFFERS FROM");
  std::printf("%-16s %10s %10s\n", "median", "wall s", "cpu s");
  std::printf("%-16s %10.3f %10.3f\n", "host import", hw, hc);
  if (!hostOnly) {
    std::printf("%-16s %10.3f %10.3f\n", "assimp import", aw, ac);
    std::printf("%-16s %10.3f %10.3f   (the host's import through assimp)\n", "host via assimp", vw, vc);
    std::printf("%-16s %10.3f %10.3f   (goal: wall <= 0.40)\n", "ratio host/assimp", hw / aw, hc / ac);
    std::printf("%-16s %10.3f %10.3f   (before the host's own reader)\n", "ratio via/assimp", vw / aw, vc / ac);
  }
  if (!saveFolder.empty())
    std::printf("%-16s %10.3f %10.3f   (project file of %.1f MB, flushed to the disk)\n", "host save",
                Timing::Median(save.wall), Timing::Median(save.cpu), double(savedBytes) / 1e6);
  std::printf("fresh memory: %.0f MB/s (first touches of a new mapping, now)\n", bench::FreshMemoryMBps());
  std::printf("load average: %s", [] {
    std::FILE* f = std::fopen("/proc/loadavg", "r");
    static char text[128] = "";
    if (f) {
      if (!std::fgets(text, sizeof text, f)) text[0] = 0;
      std::fclose(f);
    }
    return text;
  }());
  if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  return 0;
}
