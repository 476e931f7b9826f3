// COLLADA export speed and memory, side by side with assimp and Blender on
// the same models in the same run:
//   1. export stage: our export of a model the host already holds (the
//      host's 3D save through the add-on's "dae" handler) against assimp's
//      COLLADA exporter on a scene assimp already imported, and against
//      Blender's COLLADA export call on the OBJ it imported (timed inside
//      Blender's Python and printed);
//   2. reading: the host stand-in opening the OBJ against assimp importing it;
//   3. whole command: "hostsim export MODEL -o OUT.dae" against
//      "assimp export MODEL OUT.dae" and "blender --background
//      --factory-startup --python-expr ..." (import the OBJ, export COLLADA),
//      wall time and peak memory (wait4's rusage) of each process.
// Every figure is the median of its rounds; ratios are theirs / ours (above
// 1: we are faster) and ours / theirs for memory. assimp and Blender at 10M
// triangles take minutes per run: --assimp-rounds and --blender-rounds give
// them fewer rounds (both default to --rounds).
//
//   collada_export_bench [--model FILE.obj]... [--triangles N] [--rounds R]
//                        [--assimp-rounds A] [--blender-rounds B]
//                        [--blender PROGRAM|none]
//                        [--addon MODULE] [--keep DIR]
// Without --model it generates a building of N triangles. Models made by
// other tools: bench/obj-models.sh.
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
  double cpuSeconds = 0;  // user and system: less sensitive than wall time to other load
  long peakKiB = 0;
};

// Runs argv (no shell) with its standard output going to outputPath (empty:
// discarded) and its standard error discarded; wall time and the child's
// peak resident memory.
ProcessRun RunProcess(const std::vector<std::string>& args, const std::string& outputPath = "") {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.empty() ? "/dev/null" : outputPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  ProcessRun run;
  auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return run;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakKiB = usage.ru_maxrss;
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

std::string Arg(int argc, char** argv, const char* name, const std::string& fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return fallback;
}

std::vector<std::string> Args(int argc, char** argv, const char* name) {
  std::vector<std::string> values;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) values.push_back(argv[++i]);
  return values;
}

std::string LoadText() {
  std::ifstream in("/proc/loadavg");
  std::string text;
  std::getline(in, text);
  return text;
}

// Blender's side: its own OBJ importer, then the COLLADA export call timed
// alone (triangles, texture copies, as our document has them) and printed on
// a line of its own. The paths come after "--", so no quoting is needed.
constexpr const char* kBlenderScript = R"(
import bpy, sys, time
model, out = sys.argv[sys.argv.index('--') + 1:][:2]
bpy.ops.wm.read_factory_settings(use_empty=True)
start = time.perf_counter()
bpy.ops.wm.obj_import(filepath=model)
imported = time.perf_counter() - start
start = time.perf_counter()
result = bpy.ops.wm.collada_export(filepath=out, triangulate=True, use_texture_copies=True)
stage = time.perf_counter() - start
print('collada-bench import %.6f export %.6f %s' % (imported, stage, ','.join(result)), flush=True)
)";

// The import and export seconds Blender printed; false when it printed none
// or its export did not finish.
bool BlenderTimes(const std::string& outputPath, double* imported, double* exported) {
  std::ifstream in(outputPath);
  std::string line;
  while (std::getline(in, line)) {
    char result[64] = {};
    if (std::sscanf(line.c_str(), "collada-bench import %lf export %lf %63s", imported, exported, result) == 3)
      return std::strcmp(result, "FINISHED") == 0;
  }
  return false;
}

// "blender-1500000/building.obj" is named by its folder, other files by
// their own name.
std::string ModelName(const std::string& path) {
  std::filesystem::path p(path);
  if (p.filename() == "building.obj" && p.has_parent_path()) return p.parent_path().filename().string();
  return p.filename().string();
}

struct Figures {
  std::string path, name;
  std::vector<double> oursCommand, assimpCommand, blenderCommand;
  std::vector<double> oursCpu, assimpCpu, blenderCpu;
  std::vector<double> oursPeak, assimpPeak, blenderPeak;  // MB
  std::vector<double> oursStage, assimpStage, blenderStage;
  std::vector<double> hostRead, assimpImport, blenderImport;
  std::uintmax_t oursBytes = 0, assimpBytes = 0, blenderBytes = 0;
};

double Ratio(double theirs, double ours) { return ours > 0 && theirs > 0 ? theirs / ours : 0.0; }

// "1.234 s" or "-" when not measured.
std::string Secs(const std::vector<double>& v) {
  if (v.empty()) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", Median(v));
  return text;
}

std::string Mb(const std::vector<double>& v) {
  if (v.empty()) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.0f MB", Median(v));
  return text;
}

std::string Times(const std::vector<double>& theirs, const std::vector<double>& ours) {
  if (theirs.empty() || ours.empty()) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2fx", Ratio(Median(theirs), Median(ours)));
  return text;
}

void Report(const Figures& f, int rounds) {
  std::printf("\n== %s (%s)\n", f.name.c_str(), f.path.c_str());
  std::printf("rounds: ours %d, assimp %zu, Blender %zu\n", rounds, f.assimpStage.size(), f.blenderCommand.size());
  std::printf("export stage    ours %s (%.1f MB)   assimp %s (%.1f MB)   Blender %s (%.1f MB)\n",
              Secs(f.oursStage).c_str(), static_cast<double>(f.oursBytes) / 1e6, Secs(f.assimpStage).c_str(),
              static_cast<double>(f.assimpBytes) / 1e6, Secs(f.blenderStage).c_str(),
              static_cast<double>(f.blenderBytes) / 1e6);
  std::printf("                speed-up vs assimp %s (goal >= 4x)   vs Blender %s (goal >= 8x)\n",
              Times(f.assimpStage, f.oursStage).c_str(), Times(f.blenderStage, f.oursStage).c_str());
  std::printf("whole command   ours %s   assimp %s (%s)   Blender %s (%s)\n", Secs(f.oursCommand).c_str(),
              Secs(f.assimpCommand).c_str(), Times(f.assimpCommand, f.oursCommand).c_str(),
              Secs(f.blenderCommand).c_str(), Times(f.blenderCommand, f.oursCommand).c_str());
  std::printf("  cpu time      ours %s   assimp %s (%s)   Blender %s (%s)\n", Secs(f.oursCpu).c_str(),
              Secs(f.assimpCpu).c_str(), Times(f.assimpCpu, f.oursCpu).c_str(), Secs(f.blenderCpu).c_str(),
              Times(f.blenderCpu, f.oursCpu).c_str());
  std::printf("peak memory     ours %s   assimp %s   Blender %s   ours / assimp %.2f (goal <= 1)\n",
              Mb(f.oursPeak).c_str(), Mb(f.assimpPeak).c_str(), Mb(f.blenderPeak).c_str(),
              f.assimpPeak.empty() || f.oursPeak.empty() ? 0.0 : Median(f.oursPeak) / Median(f.assimpPeak));
  std::printf("reading         host %s   assimp import %s   Blender import %s   host / assimp %.2f\n",
              Secs(f.hostRead).c_str(), Secs(f.assimpImport).c_str(), Secs(f.blenderImport).c_str(),
              f.assimpImport.empty() ? 0.0 : Median(f.hostRead) / Median(f.assimpImport));
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = std::max(1, std::atoi(Arg(argc, argv, "--rounds", "3").c_str()));
  const int assimpRounds = std::max(1, std::atoi(Arg(argc, argv, "--assimp-rounds", std::to_string(rounds)).c_str()));
  const int blenderRounds = std::max(0, std::atoi(Arg(argc, argv, "--blender-rounds", std::to_string(rounds)).c_str()));
  const std::uint64_t triangles = std::strtoull(Arg(argc, argv, "--triangles", "1500000").c_str(), nullptr, 10);
  const std::string addon = Arg(argc, argv, "--addon", CORV_BENCH_ADDON);
  std::string blender = Arg(argc, argv, "--blender", CORV_BENCH_BLENDER);
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

  std::vector<Figures> models;
  for (const std::string& path : Args(argc, argv, "--model")) {
    if (!std::filesystem::exists(path)) {
      std::fprintf(stderr, "no model %s\n", path.c_str());
      return 2;
    }
    Figures f;
    f.path = path;
    f.name = ModelName(path);
    models.push_back(std::move(f));
  }
  if (models.empty()) {
    std::string model = work + "/building.obj";
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
    Figures f;
    f.path = model;
    f.name = "generated-" + std::to_string(triangles);
    models.push_back(std::move(f));
  }
  std::printf("machine: %ld cores, load average %s, %d rounds (assimp %d, Blender %d), medians\n",
              sysconf(_SC_NPROCESSORS_ONLN), LoadText().c_str(), rounds, assimpRounds, blenderRounds);

  // ---- Whole commands, first: a child's peak memory counts the memory its
  // parent had when it was spawned, so they run while this process is small.
  const bool haveHostsim = std::filesystem::exists(CORV_BENCH_HOSTSIM);
  const bool haveAssimp = std::filesystem::exists(CORV_BENCH_ASSIMP);
  const bool haveBlender = blender != "none" && std::filesystem::exists(blender);
  if (!haveHostsim || !haveAssimp || !haveBlender)
    std::printf("whole command: %s%s%smissing, not run\n", haveHostsim ? "" : "hostsim ", haveAssimp ? "" : "assimp ",
                haveBlender ? "" : "Blender ");
  for (Figures& f : models) {
    bool ours = haveHostsim, theirs = haveAssimp, blend = haveBlender;
    for (int r = 0; r < std::max({rounds, assimpRounds, blenderRounds}); ++r) {
      if (ours && r < rounds) {
        ProcessRun a = RunProcess({CORV_BENCH_HOSTSIM, "export", f.path, "-o", work + "/cmd-ours.dae"});
        if (a.status != 0) {
          std::printf("%s: hostsim export failed (status %d); not compared\n", f.name.c_str(), a.status);
          ours = false;
        } else {
          f.oursCommand.push_back(a.seconds);
          f.oursCpu.push_back(a.cpuSeconds);
          f.oursPeak.push_back(static_cast<double>(a.peakKiB) / 1024.0);
        }
      }
      if (theirs && r < assimpRounds) {
        ProcessRun b = RunProcess({CORV_BENCH_ASSIMP, "export", f.path, work + "/cmd-assimp.dae"});
        if (b.status != 0) {
          std::printf("%s: assimp export failed (status %d); not compared\n", f.name.c_str(), b.status);
          theirs = false;
        } else {
          f.assimpCommand.push_back(b.seconds);
          f.assimpCpu.push_back(b.cpuSeconds);
          f.assimpPeak.push_back(static_cast<double>(b.peakKiB) / 1024.0);
        }
      }
      if (blend && r < blenderRounds) {
        const std::string out = work + "/blender/building.dae", log = work + "/blender.log";
        std::filesystem::remove_all(work + "/blender");
        std::filesystem::create_directories(work + "/blender");
        ProcessRun c = RunProcess({blender, "--background", "--factory-startup", "--python-expr", kBlenderScript,
                                   "--", f.path, out},
                                  log);
        double imported = 0, exported = 0;
        if (c.status != 0 || !BlenderTimes(log, &imported, &exported)) {
          std::printf("%s: Blender's export failed (status %d, see %s); not compared\n", f.name.c_str(), c.status,
                      log.c_str());
          blend = false;
          removeWork = false;
        } else {
          f.blenderCommand.push_back(c.seconds);
          f.blenderCpu.push_back(c.cpuSeconds);
          f.blenderPeak.push_back(static_cast<double>(c.peakKiB) / 1024.0);
          f.blenderStage.push_back(exported);
          f.blenderImport.push_back(imported);
          f.blenderBytes = std::filesystem::file_size(out);
        }
      }
      std::fprintf(stderr, "%s: whole commands, round %d done\n", f.name.c_str(), r + 1);
    }
  }

  // ---- Reading and the export stage, in this process -----------------------------
  for (Figures& f : models) {
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
        f.hostRead.push_back(Seconds([&] { opened = host->OpenProject(f.path); }));
        if (!opened.ok()) {
          std::fprintf(stderr, "host cannot open %s: %s\n", f.path.c_str(), opened.error().c_str());
          return 2;
        }
        host->SwitchWindow(hostmodel::WindowType::ThreeD);
        hostmodel::Status saved = hostmodel::Status::Ok();
        f.oursStage.push_back(Seconds([&] { saved = host->Save3D(out); }));
        if (!saved.ok()) {
          std::fprintf(stderr, "export failed: %s\n", saved.error().c_str());
          return 2;
        }
      }
      f.oursBytes = std::filesystem::file_size(out);
    }
    for (int r = 0; r < assimpRounds; ++r) {
      Assimp::Importer importer;
      const aiScene* scene = nullptr;
      f.assimpImport.push_back(Seconds([&] { scene = importer.ReadFile(f.path, 0); }));
      if (scene == nullptr) {
        std::fprintf(stderr, "assimp cannot read %s: %s\n", f.path.c_str(), importer.GetErrorString());
        return 2;
      }
      Assimp::Exporter exporter;
      std::string out = work + "/assimp.dae";
      aiReturn result = aiReturn_FAILURE;
      f.assimpStage.push_back(Seconds([&] { result = exporter.Export(scene, "collada", out); }));
      if (result != aiReturn_SUCCESS) {
        std::fprintf(stderr, "assimp export failed: %s\n", exporter.GetErrorString());
        return 2;
      }
      f.assimpBytes = std::filesystem::file_size(out);
    }
    std::fprintf(stderr, "%s: export stages done\n", f.name.c_str());
  }

  for (const Figures& f : models) Report(f, rounds);
  std::printf("\nload average at the end %s\n", LoadText().c_str());
  if (removeWork) std::filesystem::remove_all(work);
  return 0;
}
