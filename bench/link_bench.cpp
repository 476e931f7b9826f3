// The live link end to end, timed between real processes: hostsim with the
// add-on links a generated building, velmar follows it, and this program
// watches both. It measures
//   - start: from the start command until velmar was woken for the whole
//     building (the publisher's part), and until it had read every
//     geometry block of it;
//   - edit: from a one-element edit until velmar's wake-up for it (the
//     "wake" line velmar writes before it reads anything), and until velmar
//     has read the change, for an element of a small material and one of
//     the material that holds most triangles.
// hostsim raises a signal right before each command; this program sees it
// (polling every 0.2 ms) and takes the time, then waits for velmar's next
// scene update. Reports medians, p95 and p99.
//
//   link_bench [--triangles N] [--edits K] [--runs R] [--model FILE.obj]
//              [--velmar-log FILE] [--velmar-mode run|serve]
//              [--big-edit move|material]
//
// --model links that OBJ file (for example one another tool wrote) instead
// of a generated building; the start is complete once velmar holds as many
// triangles as the file's faces make. --velmar-log keeps velmar's event
// lines in FILE, to see where a figure's time went. --velmar-mode serve
// follows the link with "velmar serve" (no page opened): its live view then
// holds the geometry velmar read, as a page's would. --big-edit material
// edits the big material's element by giving it the small material and then
// its own back, in turn, instead of moving it: its triangles leave the big
// material's block and come back, so that block's counts change at every
// such edit (a user who deletes, adds or re-materials an element does that).
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_model.h"
#include "peak_memory.h"
#include "child_process.h"
#include "isolation.h"
#include "machine_state.h"

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;
namespace fs = std::filesystem;

std::ofstream g_velmarLog;
std::string g_velmarMode = "run";  // or "serve": the live view's snapshots then hold velmar's geometry
std::string g_bigEdit = "move";    // or "material": the big element changes material, back and forth

fs::path SignalDir() { return fs::path(std::getenv("CORV_RUNTIME_DIR")) / "hostsim-signals"; }

bool TakeSignal(const std::string& name, Clock::time_point* when, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    std::error_code ec;
    if (fs::remove(SignalDir() / name, ec)) {
      *when = Clock::now();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

// The next velmar scene update; its arrival time in *when. *wokeAt is when
// velmar said it was woken for it (its "wake" line, written before it reads
// the scene), or for the read of a link it has just opened, its "opened"
// line; when the update came from its own poll, the update's arrival less
// velmar's read time.
bool NextUpdate(livelink_test::ChildProcess& velmar, Clock::time_point* when, long long* triangles, int timeoutMs,
                Clock::time_point* wokeAt = nullptr) {
  std::string line;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  Clock::time_point woke{}, opened{};
  bool wakeSeen = false, openedSeen = false;
  while (Clock::now() < end) {
    if (!velmar.ReadLine(&line, timeoutMs)) return false;
    const auto t = Clock::now();
    if (g_velmarLog.is_open()) g_velmarLog << line << '\n';
    json j = json::parse(line, nullptr, false);
    if (j.is_discarded()) continue;
    const std::string event = j.value("event", "");
    if (event == "wake") {
      woke = t;
      wakeSeen = true;
    }
    if (event == "opened") {
      opened = t;
      openedSeen = true;
    }
    if (event != "update") continue;
    *when = t;
    *triangles = j["scene"].value("triangles", -1LL);
    if (wokeAt != nullptr) {
      const auto readTime = std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double, std::milli>(j.value("readMs", 0.0)));
      const std::string cause = j.value("cause", "");
      *wokeAt = wakeSeen && cause == "wake" ? woke : openedSeen && cause == "opened" ? opened : t - readTime;
    }
    return true;
  }
  return false;
}

using bench::Stats;
using bench::Summarise;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  bench::ModelArgs args;
  args.edits = 40;
  args.runs = 3;
  bench::ReadModelArgs(argc, argv, &args, [](std::string_view flag, const char* value) {
    if (flag == "--velmar-log") g_velmarLog.open(value);
    if (flag == "--velmar-mode") g_velmarMode = value;
    if (flag == "--big-edit") g_bigEdit = value;
  });
  if (g_bigEdit != "move" && g_bigEdit != "material") {
    std::fprintf(stderr, "link_bench: --big-edit takes move or material, not %s\n", g_bigEdit.c_str());
    return 2;
  }
  const int edits = args.edits, runs = args.runs;
  livelink_test::Isolated();
  bench::BenchModel model;
  std::string error;
  if (!bench::SetUpModel(args, "corv-link-bench", &model, &error)) {
    std::fprintf(stderr, "link_bench: %s\n", error.c_str());
    return 1;
  }

  std::mt19937 random(20261208);  // seeded: runs compare
  std::uniform_int_distribution<int> pause(0, 33000);
  std::vector<double> startMs, startWakeMs, smallMs, bigMs, smallWakeMs, bigWakeMs, velmarPeakMB;
  for (int run = 0; run < runs; ++run) {
    // The machine's state at the start of the run, to read its figures by.
    const double freshMBps = bench::FreshMemoryMBps();
    const std::string pln = (model.dir / ("Office" + std::to_string(run) + ".pln")).string();
    std::string script = "open " + model.obj + "\nsaveas " + pln + "\nwindow 3d\nwait 500\nsignal start\nmenu 32101\n";
    for (int i = 0; i < edits; ++i) {
      const bool onBig = i % 2 == 1;
      const std::string& guid = onBig ? model.bigElement : model.smallElement;
      const double dz = (i / 2) % 2 == 0 ? 0.01 : -0.01;
      script += "await next 60000\nsignal e" + std::to_string(i) + "\n";
      if (onBig && g_bigEdit == "material") {
        const int material = (i / 2) % 2 == 0 ? model.smallMaterial : model.bigMaterial;
        script += "edit material " + guid + " " + std::to_string(material) + "\n";
      } else {
        script += "edit move " + guid + " 0 0 " + std::to_string(dz) + "\n";
      }
    }
    script += "await next 60000\nmenu 32103\n";
    const std::string scriptPath = (model.dir / "bench.hs").string();
    std::ofstream(scriptPath) << script;

    std::vector<std::string> velmarArgs = {"--json", g_velmarMode, "--exit-when-ended"};
    if (g_velmarMode == "serve") velmarArgs.insert(velmarArgs.end(), {"--port", "0"});
    auto velmar = livelink_test::ChildProcess::Start(VELMAR_PROGRAM, velmarArgs);
    auto host = livelink_test::ChildProcess::Start(CORV_HOSTSIM, {"--quiet", "--addon", CORV_ADDON, "run", scriptPath});
    if (!velmar || !host) {
      std::fprintf(stderr, "link_bench: cannot start velmar or hostsim\n");
      return 1;
    }
    Clock::time_point t0, t1, woke;
    long long seen = 0;
    // Another tool's large file may take the host minutes to open and save.
    if (!TakeSignal("start", &t0, 600000)) {
      std::fprintf(stderr, "link_bench: hostsim did not get to the start\n");
      return 1;
    }
    // The start's reading is complete once velmar holds every triangle.
    while (NextUpdate(*velmar, &t1, &seen, 60000, &woke)) {
      if (seen >= static_cast<long long>(model.triangles)) break;
    }
    startMs.push_back(Ms(t1 - t0));
    startWakeMs.push_back(Ms(woke - t0));
    std::printf("run %d: start %.1f ms, velmar holds %lld triangles (building %llu); fresh memory %.0f MB/s\n", run,
                startMs.back(), seen, static_cast<unsigned long long>(model.triangles), freshMBps);
    for (int i = 0; i < edits; ++i) {
      // Give the link a quiet moment between edits, as a user would, of a
      // length drawn afresh each time: the add-on looks at the model on
      // the host's idle pass, every 33 ms, and a fixed pause would meet that
      // pass at the same point of its period after every edit of one kind
      // (a small material's edits all waited most of it, a big one's
      // almost none). A user's edits come at any point.
      std::this_thread::sleep_for(std::chrono::microseconds(60000 + pause(random)));
      std::ofstream(SignalDir() / "next") << "1";
      if (!TakeSignal("e" + std::to_string(i), &t0, 60000) || !NextUpdate(*velmar, &t1, &seen, 10000, &woke)) {
        std::fprintf(stderr, "link_bench: edit %d did not arrive\n", i);
        return 1;
      }
      // A change of material rewrites two blocks, which the add-on may
      // publish in two passes: the edit has arrived with the last update
      // before velmar falls quiet.
      if (g_bigEdit == "material" && i % 2 == 1) {
        Clock::time_point later, laterWoke;
        while (NextUpdate(*velmar, &later, &seen, 2000, &laterWoke)) {
          t1 = later;
          woke = laterWoke;
        }
      }
      (i % 2 == 1 ? bigWakeMs : smallWakeMs).push_back(Ms(woke - t0));
      (i % 2 == 1 ? bigMs : smallMs).push_back(Ms(t1 - t0));
    }
    velmarPeakMB.push_back(bench::PeakResidentMB(velmar->pid()));
    std::ofstream(SignalDir() / "next") << "1";
    host->Wait(60000);
    velmar->Wait(10000);
  }

  const Stats s = Summarise(startMs), sw = Summarise(startWakeMs), es = Summarise(smallMs), eb = Summarise(bigMs);
  const Stats ws = Summarise(smallWakeMs), wb = Summarise(bigWakeMs);
  bench::PrintModel(model, args.model.empty() ? "building" : model.obj);
  std::printf(
      "start to the renderer's wake-up for the whole model: median %.1f ms, max %.1f (goal <= 3000 ms), "
      "%zu runs\n",
      sw.median, sw.max, startWakeMs.size());
  std::printf("start to renderer complete: median %.1f ms, max %.1f (the wake-up and velmar's read), %zu runs\n",
              s.median, s.max, startMs.size());
  std::printf("edit, small material:       median %.1f ms, p95 %.1f, p99 %.1f (goal p95 <= 50 ms), %zu edits\n",
              es.median, es.p95, es.p99, smallMs.size());
  if (g_bigEdit == "material")
    std::printf(
        "(the big material's edits give its element the small material and back: both blocks' counts "
        "change)\n");
  std::printf("edit, big material:         median %.1f ms, p95 %.1f, p99 %.1f (goal p95 <= 150 ms), %zu edits\n",
              eb.median, eb.p95, eb.p99, bigMs.size());
  std::printf("edit to velmar's wake-up, small material: median %.1f ms, p95 %.1f, p99 %.1f (goal p95 <= 50 ms)\n",
              ws.median, ws.p95, ws.p99);
  std::printf("edit to velmar's wake-up, big material:   median %.1f ms, p95 %.1f, p99 %.1f (goal p95 <= 150 ms)\n",
              wb.median, wb.p95, wb.p99);
  std::printf("(the edit lines include velmar's own read of the changed blocks; the wake-up lines leave it out)\n");
  std::printf("velmar's peak resident memory (%s): median %.0f MB\n", g_velmarMode.c_str(),
              Summarise(velmarPeakMB).median);
  fs::remove_all(model.dir);
  return 0;
}
