// COLLADA export speed and memory on the generated building, side by side
// with assimp in the same run:
//   1. export stage: our export of a model the host already holds (the
//      host's 3D save through the add-on's "dae" handler) against assimp's
//      COLLADA exporter on a scene assimp already imported;
//   2. reading: the host stand-in opening the OBJ against assimp importing it;
//   3. whole command: "hostsim export MODEL -o OUT.dae" against
//      "assimp export MODEL OUT.dae", wall time and peak memory of each
//      process.
// Every figure is the median of --rounds runs; ratios are assimp / ours
// (above 1: we are faster) and ours / assimp for memory.
//
//   collada_export_bench [--triangles N] [--model FILE.obj] [--rounds R]
//                        [--addon MODULE] [--keep DIR]
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <assimp/Exporter.hpp>
#include <assimp/Importer.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "building_generator.h"
#include "host/host.h"
#include "hostui/ui.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const std::function<void()>& fn) {
  auto start = Clock::now();
  fn();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

struct ProcessRun {
  int status = -1;
  double seconds = 0;
  long peakKiB = 0;
};

// Runs argv (no shell) with its output discarded; wall time and the child's
// peak resident memory.
ProcessRun RunProcess(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  ProcessRun run;
  auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return run;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakKiB = usage.ru_maxrss;
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

std::string Arg(int argc, char** argv, const char* name, const std::string& fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return fallback;
}

std::string LoadText() {
  std::ifstream in("/proc/loadavg");
  std::string text;
  std::getline(in, text);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = std::max(1, std::atoi(Arg(argc, argv, "--rounds", "3").c_str()));
  const std::uint64_t triangles = std::strtoull(Arg(argc, argv, "--triangles", "1500000").c_str(), nullptr, 10);
  const std::string addon = Arg(argc, argv, "--addon", CORV_BENCH_ADDON);
  std::string work = Arg(argc, argv, "--keep", "");
  bool removeWork = work.empty();
  if (work.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "collada-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return 2;
    work = pattern;
  }
  std::filesystem::create_directories(work + "/run");
  std::filesystem::create_directories(work + "/hkcu");
  std::filesystem::create_directories(work + "/hklm");
  std::filesystem::permissions(work + "/run", std::filesystem::perms::owner_all);
  setenv("CORV_RUNTIME_DIR", (work + "/run").c_str(), 1);
  setenv("CORV_REGISTRY_HKCU", (work + "/hkcu").c_str(), 1);
  setenv("CORV_REGISTRY_HKLM", (work + "/hklm").c_str(), 1);

  std::string model = Arg(argc, argv, "--model", "");
  if (model.empty()) {
    model = work + "/building.obj";
    bench::BuildingOptions options;
    options.triangles = triangles;
    bench::BuildingSummary summary;
    std::string error;
    if (!bench::WriteBuilding(model, options, &summary, &error)) {
      std::fprintf(stderr, "cannot write the building: %s\n", error.c_str());
      return 2;
    }
    std::printf("model: generated building, %llu triangles, %llu vertices, %llu objects, %.1f MB OBJ\n",
                static_cast<unsigned long long>(summary.triangles), static_cast<unsigned long long>(summary.vertices),
                static_cast<unsigned long long>(summary.objects),
                static_cast<double>(std::filesystem::file_size(model)) / 1e6);
  } else {
    std::printf("model: %s\n", model.c_str());
  }
  std::printf("machine: %ld cores, load average %s, %d rounds, medians\n", sysconf(_SC_NPROCESSORS_ONLN),
              LoadText().c_str(), rounds);

  // ---- Whole commands, first: a child's peak memory counts the memory its
  // parent had when it was spawned, so they run while this process is small.
  std::vector<double> oursCommand, assimpCommand;
  std::vector<long> oursPeak, assimpPeak;
  bool haveHostsim = std::filesystem::exists(CORV_BENCH_HOSTSIM);
  bool haveAssimp = std::filesystem::exists(CORV_BENCH_ASSIMP);
  for (int r = 0; r < rounds && haveHostsim && haveAssimp; ++r) {
    ProcessRun a = RunProcess({CORV_BENCH_HOSTSIM, "export", model, "-o", work + "/cmd-ours.dae"});
    ProcessRun b = RunProcess({CORV_BENCH_ASSIMP, "export", model, work + "/cmd-assimp.dae"});
    if (a.status != 0) {
      std::printf("whole command   hostsim export failed (status %d); not compared\n", a.status);
      haveHostsim = false;
      break;
    }
    if (b.status != 0) {
      std::printf("whole command   assimp export failed (status %d); not compared\n", b.status);
      haveAssimp = false;
      break;
    }
    oursCommand.push_back(a.seconds);
    assimpCommand.push_back(b.seconds);
    oursPeak.push_back(a.peakKiB);
    assimpPeak.push_back(b.peakKiB);
  }
  if (!oursCommand.empty()) {
    double oc = Median(oursCommand), ac = Median(assimpCommand);
    std::vector<double> op(oursPeak.begin(), oursPeak.end()), ap(assimpPeak.begin(), assimpPeak.end());
    double om = Median(op) / 1024.0, am = Median(ap) / 1024.0;
    std::printf("whole command   hostsim export %.3f s   assimp export %.3f s   speed-up %.2fx (goal >= 2.5x)\n", oc,
                ac, ac / oc);
    std::printf("peak memory     hostsim export %.0f MB   assimp export %.0f MB   ours / assimp %.2f (goal <= 1.5)\n",
                om, am, om / am);
  } else if (!haveHostsim || !haveAssimp) {
    std::printf("whole command   not measured (hostsim or assimp missing)\n");
  }

  // ---- Reading and the export stage, in this process -----------------------------
  std::vector<double> hostRead, oursExport, assimpImport, assimpExport;
  std::uintmax_t oursBytes = 0, assimpBytes = 0;
  {
    auto& ui = host::ui::Ui::Get();
    auto host = std::make_unique<host::Host>();
    for (const auto& [index, fn] : host::ui::Ui::TableEntries()) host->Table().Set(index, fn);
    if (host->MainWindow()) {
      ui.SetMainWindow(host->MainWindow());
    } else {
      ui.EnsureMainWindow(u"Host");
    }
    auto loaded = host->LoadAddon(addon);
    if (!loaded.ok()) {
      std::fprintf(stderr, "cannot load %s: %s\n", addon.c_str(), loaded.error().c_str());
      return 2;
    }
    std::string out = work + "/ours.dae";
    for (int r = 0; r < rounds; ++r) {
      hostmodel::Status opened = hostmodel::Status::Ok();
      hostRead.push_back(Seconds([&] { opened = host->OpenProject(model); }));
      if (!opened.ok()) {
        std::fprintf(stderr, "host cannot open the model: %s\n", opened.error().c_str());
        return 2;
      }
      host->SwitchWindow(hostmodel::WindowType::ThreeD);
      hostmodel::Status saved = hostmodel::Status::Ok();
      oursExport.push_back(Seconds([&] { saved = host->Save3D(out); }));
      if (!saved.ok()) {
        std::fprintf(stderr, "export failed: %s\n", saved.error().c_str());
        return 2;
      }
    }
    oursBytes = std::filesystem::file_size(out);
  }
  for (int r = 0; r < rounds; ++r) {
    Assimp::Importer importer;
    const aiScene* scene = nullptr;
    assimpImport.push_back(Seconds([&] { scene = importer.ReadFile(model, 0); }));
    if (scene == nullptr) {
      std::fprintf(stderr, "assimp cannot read the model: %s\n", importer.GetErrorString());
      return 2;
    }
    Assimp::Exporter exporter;
    std::string out = work + "/assimp.dae";
    aiReturn result = aiReturn_FAILURE;
    assimpExport.push_back(Seconds([&] { result = exporter.Export(scene, "collada", out); }));
    if (result != aiReturn_SUCCESS) {
      std::fprintf(stderr, "assimp export failed: %s\n", exporter.GetErrorString());
      return 2;
    }
    assimpBytes = std::filesystem::file_size(out);
  }
  double ours = Median(oursExport), theirs = Median(assimpExport);
  std::printf("\nexport stage    ours %.3f s (%.1f MB)   assimp %.3f s (%.1f MB)   speed-up %.2fx (goal >= 8x)\n",
              ours, static_cast<double>(oursBytes) / 1e6, theirs, static_cast<double>(assimpBytes) / 1e6,
              theirs / ours);
  double read = Median(hostRead), import = Median(assimpImport);
  std::printf("reading         host %.3f s   assimp import %.3f s   host / assimp %.2f (goal <= 1.10)\n", read,
              import, read / import);

  if (removeWork) std::filesystem::remove_all(work);
  return 0;
}
