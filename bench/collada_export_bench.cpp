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
// them fewer rounds (both default to --rounds; 0 leaves one out), and
// --limit ends any of their runs that takes longer (reported as not
// finished within it); assimp's import and export run in a child process
// for that. Every figure is wall time except "cpu time" (user and system
// of the whole command), which other load on the machine disturbs less.
//
//   collada_export_bench [--model FILE.obj]... [--triangles N] [--rounds R]
//                        [--assimp-rounds A] [--blender-rounds B]
//                        [--blender PROGRAM|none] [--limit SECONDS]
//                        [--addon MODULE] [--keep DIR]
// Without --model it generates a building of N triangles. Models made by
// other tools: bench/obj-models.sh.
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <dlfcn.h>
#include <signal.h>
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
  bool timedOut = false;  // killed at the time limit: seconds is a lower bound
  double seconds = 0;
  double cpuSeconds = 0;  // user and system: less sensitive than wall time to other load
  long peakKiB = 0;
};

// Waits for pid, killing it after limit seconds (0: no limit).
void WaitWithLimit(pid_t pid, double limit, Clock::time_point start, int* status, rusage* usage, bool* timedOut) {
  for (;;) {
    if (wait4(pid, status, limit > 0 ? WNOHANG : 0, usage) == pid) return;
    if (std::chrono::duration<double>(Clock::now() - start).count() > limit) {
      kill(pid, SIGKILL);
      wait4(pid, status, 0, usage);
      *timedOut = true;
      return;
    }
    usleep(20000);
  }
}

// Runs argv (no shell) with its standard output going to outputPath (empty:
// discarded) and its standard error discarded, killed after limit seconds
// (0: no limit); wall time and the child's peak resident memory.
ProcessRun RunProcess(const std::vector<std::string>& args, const std::string& outputPath = "", double limit = 0) {
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
  WaitWithLimit(pid, limit, start, &status, &usage, &run.timedOut);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.status = WIFEXITED(status) && !run.timedOut ? WEXITSTATUS(status) : -1;
  run.peakKiB = usage.ru_maxrss;
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

struct AssimpStage {
  bool ok = false;
  bool timedOut = false;
  double import = 0, exported = 0;
  std::uintmax_t bytes = 0;
};

// assimp's import and COLLADA export of model in a child process, so that a
// run past the time limit can be ended: the child sends its figures back
// through a pipe.
AssimpStage RunAssimpStage(const std::string& model, const std::string& out, double limit) {
  AssimpStage stage;
  int fds[2];
  if (pipe(fds) != 0) return stage;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return stage;
  }
  if (pid == 0) {
    close(fds[0]);
    Assimp::Importer importer;
    const aiScene* scene = nullptr;
    AssimpStage mine;
    mine.import = Seconds([&] { scene = importer.ReadFile(model, 0); });
    if (scene == nullptr) _exit(3);
    Assimp::Exporter exporter;
    aiReturn result = aiReturn_FAILURE;
    mine.exported = Seconds([&] { result = exporter.Export(scene, "collada", out); });
    if (result != aiReturn_SUCCESS) _exit(4);
    mine.ok = true;
    mine.bytes = std::filesystem::file_size(out);
    _exit(write(fds[1], &mine, sizeof mine) == static_cast<ssize_t>(sizeof mine) ? 0 : 5);
  }
  close(fds[1]);
  int status = 0;
  rusage usage{};
  WaitWithLimit(pid, limit, start, &status, &usage, &stage.timedOut);
  if (!stage.timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
      read(fds[0], &stage, sizeof stage) != static_cast<ssize_t>(sizeof stage))
    stage.ok = false;
  close(fds[0]);
  return stage;
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
  // Runs ended at the time limit: they took longer than it.
  bool assimpCommandTimedOut = false, assimpStageTimedOut = false, blenderTimedOut = false;
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

void Report(const Figures& f, int rounds, double limit) {
  std::printf("\n== %s (%s)\n", f.name.c_str(), f.path.c_str());
  if (f.assimpCommandTimedOut) std::printf("assimp's command did not finish within %.0f s\n", limit);
  if (f.assimpStageTimedOut) std::printf("assimp's import and export did not finish within %.0f s\n", limit);
  if (f.blenderTimedOut) std::printf("Blender's command did not finish within %.0f s\n", limit);
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
  const int assimpRounds = std::max(0, std::atoi(Arg(argc, argv, "--assimp-rounds", std::to_string(rounds)).c_str()));
  const int blenderRounds = std::max(0, std::atoi(Arg(argc, argv, "--blender-rounds", std::to_string(rounds)).c_str()));
  const std::uint64_t triangles = std::strtoull(Arg(argc, argv, "--triangles", "1500000").c_str(), nullptr, 10);
  const std::string addon = Arg(argc, argv, "--addon", CORV_BENCH_ADDON);
  std::string blender = Arg(argc, argv, "--blender", CORV_BENCH_BLENDER);
  const double limit = std::atof(Arg(argc, argv, "--limit", "0").c_str());
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
        ProcessRun b = RunProcess({CORV_BENCH_ASSIMP, "export", f.path, work + "/cmd-assimp.dae"}, "", limit);
        if (b.timedOut) {
          f.assimpCommandTimedOut = true;
          theirs = false;
        } else if (b.status != 0) {
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
        ProcessRun c = RunProcess(
            {blender, "--background", "--factory-startup", "--python-expr", kBlenderScript, "--", f.path, out}, log,
            limit);
        double imported = 0, exported = 0;
        if (c.timedOut) {
          f.blenderTimedOut = true;
          blend = false;
        } else if (c.status != 0 || !BlenderTimes(log, &imported, &exported)) {
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
    for (int r = 0; r < assimpRounds && !f.assimpStageTimedOut; ++r) {
      AssimpStage stage = RunAssimpStage(f.path, work + "/assimp.dae", limit);
      if (stage.timedOut) {
        f.assimpStageTimedOut = true;
        break;
      }
      if (!stage.ok) {
        std::fprintf(stderr, "assimp cannot import or export %s\n", f.path.c_str());
        return 2;
      }
      f.assimpImport.push_back(stage.import);
      f.assimpStage.push_back(stage.exported);
      f.assimpBytes = stage.bytes;
    }
    std::fprintf(stderr, "%s: export stages done\n", f.name.c_str());
  }

  for (const Figures& f : models) Report(f, rounds, limit);
  std::printf("\nload average at the end %s\n", LoadText().c_str());
  if (removeWork) std::filesystem::remove_all(work);
  return 0;
}
