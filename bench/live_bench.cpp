// The live view end to end, timed between real processes: hostsim with the
// add-on links a generated building to "velmar serve", headless Chromium
// (software WebGL) holds its page open, and this program reads velmar's
// events, among them the page's own reports of what it showed ("page", on
// the page's wall clock, the same machine's as velmar's). It measures
//   - first appearance: from velmar's update event of the link's first
//     complete update (velmar holds every triangle) to the page's frame
//     that shows it; and from velmar's wake-up for it (delayMs);
//   - edit: one-element edits, from velmar's wake-up to the page's frame
//     (the page's delayMs), for an element of a small material and one of
//     the material that holds most triangles (only the changed ranges are
//     sent when the surface's counts stay). All the small material's edits
//     come first, so that none is measured right behind a big one;
//   - draw: the page's draw of the whole scene, from asking for a frame to
//     the drawing done (a pixel read back waits for it), a few times: what
//     any update shown costs at least.
// For each it splits the time: velmar's read, velmar to the page's first
// frame (encoding, socket), the page's parse and upload until it draws,
// the draw until the next frame is on screen. Reports medians and p95.
//
//   live_bench [--triangles N] [--edits K] [--model FILE.obj] [--stuck-page 1]
//              [--edit-while-loading 1]
// --model links that OBJ file (one another tool wrote) instead of a
// generated building. --stuck-page 1 opens a second page before the big
// material's edits, one that never reads (a raw WebSocket), so that they
// meet a page stuck in the middle of the whole scene: velmar's peak memory
// and the copies it made for that page tell what it cost.
// --edit-while-loading 1 makes the first edit half a second after velmar
// holds the building, while the page is still taking it in: whether the
// page is dropped for it, or velmar copies a surface, is printed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench_model.h"
#include "child_process.h"
#include "isolation.h"
#include "live_browser.h"
#include "live_client.h"
#include "machine_state.h"
#include "peak_memory.h"

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;
namespace fs = std::filesystem;

// Lets hostsim's script past its next "await next". The folder is made here
// when hostsim has not made it yet; false when the signal cannot be written.
bool Next() {
  const fs::path folder = fs::path(std::getenv("CORV_RUNTIME_DIR")) / "hostsim-signals";
  std::error_code ignored;
  fs::create_directories(folder, ignored);
  std::ofstream signal(folder / "next");
  signal << "1";
  return signal.good();
}

// velmar's events as they come, kept so that a page report read while
// waiting for an update is there when it is asked for.
class Events {
 public:
  explicit Events(livelink_test::ChildProcess& velmar) : velmar_(velmar) {}
  // The first event of that kind from position *from on for which accept
  // holds; null after timeoutMs. *from moves past it.
  template <typename Accept>
  json Next(const std::string& event, Accept accept, std::size_t* from, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;; ++*from) {
      while (*from == all_.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        std::string line;
        if (left <= 0 || !velmar_.ReadLine(&line, static_cast<int>(left))) return nullptr;
        json value = json::parse(line, nullptr, false);
        if (value.is_object()) all_.push_back(std::move(value));
      }
      const json& e = all_[*from];
      if (e.value("event", "") == event && accept(e)) return all_[(*from)++];
    }
  }

 private:
  livelink_test::ChildProcess& velmar_;
  std::vector<json> all_;
};

// The pages velmar closed or dropped so far, with its reasons.
void PrintPageEnds(Events& events, std::FILE* out) {
  std::size_t at = 0;
  for (json e; (e = events.Next(
                    "client", [](const json& c) { return c.value("state", "") != "connected"; }, &at, 0))
                   .is_object();)
    std::fprintf(out, "page %s: %s\n", e.value("state", "").c_str(), e.value("reason", "").c_str());
}

using bench::Stats;
using bench::Summarise;

// Where an update's time went, from velmar's update event and the page's
// report of the frame that showed it (all wall-clock milliseconds).
struct Split {
  std::vector<double> total, read, toPage, apply, draw, applied, drawn;
  void Add(const json& update, const json& page) {
    // velmar prints its update event after it has handed the update to the
    // page's thread (and digested it for the event): the read's own end is
    // its start plus its length.
    const double wake = page.value("wakeAt", 0.0);
    const double readDone = update.value("readAt", 0.0) + update.value("readMs", 0.0);
    const double first = page.value("firstFrameAt", 0.0), appliedAt = page.value("appliedAt", 0.0);
    const double shown = page.value("shownAt", 0.0), drawnAt = page.value("drawnAt", shown);
    total.push_back(page.value("delayMs", shown - wake));
    read.push_back(readDone - wake);
    toPage.push_back(first - readDone);
    apply.push_back(appliedAt - first);
    draw.push_back(drawnAt - appliedAt);
    // The page's own two figures, from velmar's wake-up: in its buffers,
    // and the first frame after that finished.
    applied.push_back(appliedAt - wake);
    drawn.push_back(drawnAt - wake);
  }
  void Print(const char* what) const {
    const Stats t = Summarise(total), r = Summarise(read), s = Summarise(toPage), a = Summarise(apply),
                d = Summarise(draw), ap = Summarise(applied), dr = Summarise(drawn);
    std::printf("%s: median %.1f ms, p95 %.1f, max %.1f (%zu)\n", what, t.median, t.p95, t.max, total.size());
    std::printf("    from velmar's wake-up, median / p95: applied %.1f / %.1f, drawn %.1f / %.1f\n", ap.median, ap.p95,
                dr.median, dr.p95);
    std::printf(
        "    median / p95: velmar's read %.1f / %.1f, to the page's first frame %.1f / %.1f,"
        " the page's parse and upload %.1f / %.1f, the draw %.1f / %.1f\n",
        r.median, r.p95, s.median, s.p95, a.median, a.p95, d.median, d.p95);
  }
};

}  // namespace

int main(int argc, char** argv) {
  bench::ModelArgs args;
  args.edits = 20;
  bool stuckPage = false, editWhileLoading = false;
  bench::ReadModelArgs(argc, argv, &args, [&](std::string_view flag, const char* value) {
    if (flag == "--stuck-page") stuckPage = std::string_view(value) == "1";
    if (flag == "--edit-while-loading") editWhileLoading = std::string_view(value) == "1";
  });
  const int edits = args.edits;
  if (live_test::Browser::Program().empty()) {
    std::fprintf(stderr, "live_bench: no Chromium (scripts/install-deps.sh installs it)\n");
    return 2;
  }
  livelink_test::Isolated();
  // The elements to edit, as the host imports them: the smallest element of
  // the material with fewest triangles and of the one with most.
  bench::BenchModel model;
  std::string error;
  if (!bench::SetUpModel(args, "corv-live-bench", &model, &error)) {
    std::fprintf(stderr, "live_bench: %s\n", error.c_str());
    return 1;
  }

  const std::string pln = (model.dir / "Office.pln").string();
  std::string script = "open " + model.obj + "\nsaveas " + pln + "\nwindow 3d\nmenu 32101\n";
  auto onBig = [&](int i) { return i >= edits / 2; };
  for (int i = 0; i < edits; ++i) {
    const std::string& guid = onBig(i) ? model.bigElement : model.smallElement;
    const double dz = (i / 2) % 2 == 0 ? 0.01 : -0.01;
    script += "await next 60000\nedit move " + guid + " 0 0 " + std::to_string(dz) + "\n";
  }
  script += "await next 60000\nmenu 32103\n";
  const std::string scriptPath = (model.dir / "bench.hs").string();
  std::ofstream(scriptPath) << script;

  // The machine's state at the start, to read the figures by.
  const double freshMBps = bench::FreshMemoryMBps();
  auto velmar = livelink_test::ChildProcess::Start(VELMAR_PROGRAM, {"--json", "serve", "--port", "0"});
  if (!velmar) {
    std::fprintf(stderr, "live_bench: cannot start velmar\n");
    return 1;
  }
  Events events(*velmar);
  std::size_t at = 0;
  const json serving = events.Next(
      "serving", [](const json&) { return true; }, &at, 30000);
  live_test::Browser browser;
  if (!serving.is_object() || !browser.Open(serving["url"], 960, 720, &error)) {
    std::fprintf(stderr, "live_bench: the page did not open: %s\n", error.c_str());
    return 1;
  }
  auto host = livelink_test::ChildProcess::Start(CORV_HOSTSIM, {"--quiet", "--addon", CORV_ADDON, "run", scriptPath});
  if (!host) {
    std::fprintf(stderr, "live_bench: cannot start hostsim\n");
    return 1;
  }
  // The page was open before the link started, as a user's would be.
  const long long all = static_cast<long long>(model.triangles);
  const json complete = events.Next(
      "update", [&](const json& e) { return e["scene"].value("triangles", 0LL) >= all; }, &at, 300000);
  if (!complete.is_object()) {
    std::fprintf(stderr, "live_bench: velmar never held the whole building\n");
    return 1;
  }
  const std::uint32_t live = complete.value("live", 0u);
  long long copies = 0;
  int firstEdit = 0;
  if (editWhileLoading && edits > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const json update =
        Next() ? events.Next(
                     "update", [](const json& e) { return e["read"].value("geometries", 0) > 0; }, &at, 60000)
               : json();
    if (!update.is_object()) {
      std::fprintf(stderr, "live_bench: the edit made while the page loads was not read\n");
      return 1;
    }
    copies += update["read"].value("geometriesCopied", 0LL);
    firstEdit = 1;
  }
  std::size_t pageAt = 0;
  const json first = events.Next(
      "page", [&](const json& e) { return e.value("update", 0u) >= live; }, &pageAt, 120000);
  if (!first.is_object()) {
    std::fprintf(stderr, "live_bench: the page never showed update %u\n", live);
    PrintPageEnds(events, stderr);
    return 1;
  }
  Split start;
  start.Add(complete, first);
  const double appearMs = first.value("shownAt", 0.0) - complete.value("at", 0.0);
  const double appearFromReadMs =
      first.value("shownAt", 0.0) - complete.value("readAt", 0.0) - complete.value("readMs", 0.0);

  std::unique_ptr<live_test::WebSocket> stuck;
  Split smallEdits, bigEdits;
  for (int i = firstEdit; i < edits; ++i) {
    if (stuckPage && i == edits / 2) {
      // Right before the big material's edits, well within the time after
      // which velmar drops a page that takes nothing.
      const int port = serving.value("port", 0);
      stuck = std::make_unique<live_test::WebSocket>(static_cast<std::uint16_t>(port),
                                                     "http://127.0.0.1:" + std::to_string(port));
      if (stuck->status() != 101) {
        std::fprintf(stderr, "live_bench: the stuck page was refused (%d)\n", stuck->status());
        return 1;
      }
    }
    // A quiet moment between edits, as a user's.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (!Next()) {
      std::fprintf(stderr, "live_bench: cannot signal hostsim\n");
      return 1;
    }
    const json update = events.Next(
        "update", [](const json& e) { return e["read"].value("geometries", 0) > 0; }, &at, 60000);
    const std::uint32_t n = update.is_object() ? update.value("live", 0u) : 0;
    const json page = events.Next(
        "page", [&](const json& e) { return e.value("update", 0u) >= n; }, &pageAt, 60000);
    if (n == 0 || !page.is_object()) {
      std::fprintf(stderr, "live_bench: edit %d did not reach the page\n", i);
      return 1;
    }
    (onBig(i) ? bigEdits : smallEdits).Add(update, page);
    copies += update["read"].value("geometriesCopied", 0LL);
  }
  // The page's own draw, alone: a resize asks it for a frame; the read of
  // one pixel right after that frame's callbacks waits for the drawing.
  std::vector<double> draws;
  for (int i = 0; i < 5; ++i) {
    const json ms = browser.Evaluate(
        "new Promise((done) => { const gl = document.querySelector('canvas').getContext('webgl');"
        " const start = performance.now(); dispatchEvent(new Event('resize'));"
        " requestAnimationFrame(() => { gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, new Uint8Array(4));"
        " done(performance.now() - start); }); })",
        60000);
    if (ms.is_number()) draws.push_back(ms.get<double>());
  }
  const double velmarPeakMB = bench::PeakResidentMB(velmar->pid());
  Next();
  host->Wait(60000);

  bench::PrintModel(model, args.model.empty() ? "generated building" : args.model);
  std::printf("machine: fresh memory %.0f MB/s at the start\n", freshMBps);
  std::printf(
      "first complete update (velmar's event) to the page's frame: %.1f ms (goal <= 3000 ms); "
      "from the end of velmar's read: %.1f ms; %.1f MB in %d frames\n",
      appearMs, appearFromReadMs, first.value("bytes", 0.0) / 1e6, first.value("frames", 0));
  start.Print("first complete update, from velmar's wake-up");
  smallEdits.Print("edit, small material, wake-up to the page's frame (goal p95 <= 100 ms)");
  bigEdits.Print("edit, big material, wake-up to the page's frame (goal p95 <= 100 ms)");
  const Stats d = Summarise(draws);
  std::printf("the page's draw of the whole scene, asked to done: median %.1f ms, max %.1f (%zu)\n", d.median, d.max,
              draws.size());
  std::printf("velmar's peak resident memory (serve, the page connected%s): %.0f MB\n",
              stuckPage ? ", and a page stuck in the scene" : "", velmarPeakMB);
  std::printf("geometries the edits wrote into a second copy: %lld\n", copies);
  PrintPageEnds(events, stdout);
  std::fflush(stdout);
  fs::remove_all(model.dir);
  return 0;
}
