// The live link's one promise, between real processes: after any sequence
// of edits the renderer holds exactly the host's model. hostsim with the
// add-on links a generated building; seeded random edit sequences (element
// and material edits, material deletions with and without a replacement,
// pause, leaving the 3D window, edits while the biggest material's block is
// rewritten, a renderer scribbling a foreign block id into a record about
// to retire) each end in a quiet link whose canonical form must equal a
// fresh link's of the same model.
//
// The seed is printed; CORV_EXACTNESS_SEED replays the same edits (their
// timing against the publisher is the machine's). CORV_EXACTNESS_TRIANGLES,
// CORV_EXACTNESS_SEQUENCES and CORV_EXACTNESS_EDITS size a run (the soak,
// scripts/exactness-soak.sh, runs it long).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/utf.h"
#include "building_generator.h"
#include "child_process.h"
#include "hostmodel/edit.h"
#include "hostmodel/import.h"
#include "hostmodel/project_file.h"
#include "session_env.h"
#include "livelink/control_area.h"
#include "livelink/layout.h"
#include "util/text.h"

namespace {

using namespace system_test;
using CorvantaAPI::CanonicalScene;
using livelink_test::ChildProcess;
using Clock = std::chrono::steady_clock;

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != 0 ? std::strtoull(text, nullptr, 10) : fallback;
}

// A quiet link: nothing published and nobody holding its lock for this
// long. A publish pass is at most 100 ms of work and passes follow 5 ms
// apart, so a second of quiet means the publisher has nothing left to do.
const int kQuietMs = kSanitized ? 3000 : 1000;
constexpr int kTimeoutMs = 120000;

// hostsim at its prompt, driven line by line; its JSON log goes to a file.
// The lines sent since the last TakeSent are kept for a failure's report.
class Host {
 public:
  explicit Host(const std::string& logPath)
      : child_(ChildProcess::Start(HOSTSIM_PATH,
                                   {"--quiet", "--no-launch", "--json", logPath, "--addon", CORVANTA_MODULE_PATH})) {}
  ~Host() {
    if (child_ != nullptr) Quit();
  }
  bool running() const { return child_ != nullptr; }
  pid_t pid() const { return child_->pid(); }
  void Send(const std::string& line) {
    Drain();
    EXPECT_TRUE(child_->Send(line)) << line;
    sent_ += "  " + line + "\n";
  }
  // A line for the failure's report that hostsim never sees.
  void Note(const std::string& text) { sent_ += "  # " + text + "\n"; }
  std::string TakeSent() { return std::exchange(sent_, std::string()); }
  // Waits until hostsim has run every line sent so far.
  bool Sync() {
    const std::string name = "sync-" + std::to_string(++syncs_);
    child_->Send("signal " + name);
    for (const auto end = Clock::now() + std::chrono::milliseconds(kTimeoutMs); Clock::now() < end;) {
      Drain();
      if (Awaited(name, 50)) return true;
    }
    return false;
  }
  int Quit() {
    child_->Send("quit");
    const int status = child_->Wait(30000);
    child_.reset();
    return status;
  }

 private:
  // The prompt's output is not read, only kept from filling the pipe.
  void Drain() {
    for (std::string ignored; child_->ReadLine(&ignored, 0);) {
    }
  }
  std::unique_ptr<ChildProcess> child_;
  std::string sent_;
  int syncs_ = 0;
};

// Waits until the link has been quiet for kQuietMs: the header's change
// count still and the lock free at every look. False after the timeout.
bool WaitQuiet(CorvantaAPI::LiveConnection& guest, std::uint32_t* changeCount) {
  const CorvantaAPI::Header* header = guest.Area().header();
  const auto end = Clock::now() + std::chrono::milliseconds(kTimeoutMs);
  std::uint32_t count = CorvantaAPI::LoadShared(header->changeCount);
  auto quietSince = Clock::now();
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::uint32_t now = CorvantaAPI::LoadShared(header->changeCount);
    if (now != count || CorvantaAPI::LoadShared(header->lockOwner) != 0) {
      count = now;
      quietSince = Clock::now();
    } else if (Clock::now() - quietSince >= std::chrono::milliseconds(kQuietMs)) {
      *changeCount = count;
      return true;
    }
  }
  return false;
}

// What a renderer holds once the link is quiet, read under the lock; read
// again when the publisher moved in between.
CanonicalScene ReadQuiet(CorvantaAPI::LiveConnection& guest) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::uint32_t count = 0;
    if (!WaitQuiet(guest, &count)) break;
    CanonicalScene scene = CorvantaAPI::ReadCanonicalScene(guest);
    if (scene.changeCount == count) return scene;
  }
  ADD_FAILURE() << "the link never came to rest";
  return {};
}

// A large model's link appears only once the host has opened it and the
// start has read it: given as long as any other wait here.
bool OpenLink(CorvantaAPI::LiveConnection& guest, const std::u16string& name) {
  for (const auto end = Clock::now() + std::chrono::milliseconds(kTimeoutMs); Clock::now() < end;) {
    if (guest.Open(name) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Numbers are sent with three decimals: the mirror applies exactly what
// hostsim reads.
double Grid(double x) { return std::round(x * 1000) / 1000; }
std::string Number(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", x);
  return text;
}

// The model as the host holds it, mirrored here with the host's own edit
// functions (deterministic, GUIDs included), so that every edit names an
// element or material that exists.
class Edits {
 public:
  Edits(hostmodel::Project model, unsigned seed, std::string folder)
      : model_(std::move(model)), random_(seed), folder_(std::move(folder)) {
    // The material with the most triangles: never deleted, the target of
    // the edits timed against its rewrite.
    std::map<std::int32_t, std::uint64_t> triangles;
    for (const auto& e : model_.elements)
      for (const auto& b : e.bodies)
        for (const auto& p : b.polygons)
          for (const auto& piece : p.convexPieces) triangles[p.materialIndex] += piece.size() - 2;
    for (const auto& [material, n] : triangles)
      if (biggest_ == 0 || n > triangles[biggest_]) biggest_ = material;
  }

  std::int32_t biggest() const { return biggest_; }
  const hostmodel::Project& model() const { return model_; }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  double Uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(random_); }
  bool Chance(double p) { return Uniform(0, 1) < p; }

  std::vector<std::int32_t> LiveMaterials() const {
    std::vector<std::int32_t> live;
    for (std::int32_t i = 1; i <= static_cast<std::int32_t>(model_.materials.size()); ++i)
      if (model_.MaterialAt(i) != nullptr) live.push_back(i);
    return live;
  }
  std::int32_t AnyMaterial() {
    const auto live = LiveMaterials();
    return live[static_cast<std::size_t>(Pick(static_cast<int>(live.size())))];
  }
  // A small element (edits of it are quick to rebuild), optionally one
  // that shows the given material.
  const hostmodel::Element* SmallElement(std::int32_t material = 0) {
    std::vector<const hostmodel::Element*> found;
    for (const auto& e : model_.elements) {
      std::size_t polygons = 0;
      bool shows = material == 0;
      for (const auto& b : e.bodies)
        for (const auto& p : b.polygons) {
          ++polygons;
          shows = shows || p.materialIndex == material;
        }
      if (shows && polygons > 0 && polygons <= 400) found.push_back(&e);
    }
    return found.empty() ? nullptr : found[static_cast<std::size_t>(Pick(static_cast<int>(found.size())))];
  }

  // One model edit as a hostsim line, applied to the mirror; empty when
  // the one drawn cannot be made (nothing left to delete, ...).
  std::string ModelEdit() {
    const hostmodel::Vec3 d{Grid(Uniform(-2, 2)), Grid(Uniform(-2, 2)), Grid(Uniform(-0.5, 0.5))};
    const std::string offset = " " + Number(d.x) + " " + Number(d.y) + " " + Number(d.z);
    const int kind = Pick(11);
    const auto* e = kind <= 1 && Chance(0.5) ? SmallElement(biggest_) : SmallElement();
    const std::string guid = e != nullptr ? e->guid.ToString() : std::string();
    const std::int32_t m = AnyMaterial();
    switch (kind) {
      case 0:
      case 1:
        return e == nullptr ? "" : Apply(hostmodel::MoveElement(model_, e->guid, d), "edit move " + guid + offset);
      case 2:
        return e == nullptr ? "" : Apply(hostmodel::CopyElement(model_, e->guid, d), "edit copy " + guid + offset);
      case 3:
        if (e == nullptr || model_.elements.size() < 20) return {};
        return Apply(hostmodel::DeleteElement(model_, e->guid), "edit delete " + guid);
      case 4:
        if (e == nullptr) return {};
        return Apply(hostmodel::SetElementMaterial(model_, e->guid, m),
                     "edit material " + guid + " " + std::to_string(m));
      case 5: {
        const hostmodel::ColorRGB c{Pick(101) / 100.0, Pick(101) / 100.0, Pick(101) / 100.0};
        return Apply(hostmodel::SetMaterialColor(model_, m, c),
                     "edit color " + std::to_string(m) + " " + Number(c.r) + " " + Number(c.g) + " " + Number(c.b));
      }
      case 6: {
        const std::int32_t percent = Pick(101);
        return Apply(hostmodel::SetMaterialTransparency(model_, m, percent),
                     "edit transparency " + std::to_string(m) + " " + std::to_string(percent));
      }
      case 7: {
        if (Chance(0.5)) {
          const auto t = Pick(static_cast<int>(model_.textures.size()) + 1);
          return Apply(hostmodel::SetMaterialTexture(model_, m, t),
                       "edit texture " + std::to_string(m) + " " + std::to_string(t));
        }
        const std::string file = folder_ + (Chance(0.5) ? "/brick.png" : "/oak.jpg");
        const double size = 0.5 + Pick(4) * 0.5;
        return Apply(hostmodel::SetMaterialTextureFile(model_, m, file, size, size),
                     "edit texture " + std::to_string(m) + " " + file + " " + Number(size) + " " + Number(size));
      }
      case 8: return DeleteMaterial(Chance(0.5));
      default: {
        const hostmodel::Vec3 lo{Grid(Uniform(-40, 40)), Grid(Uniform(-40, 40)), Grid(Uniform(0, 10))};
        const hostmodel::Vec3 hi{Grid(lo.x + 1.5), Grid(lo.y + 1), Grid(lo.z + 2)};
        return Apply(hostmodel::AddBox(model_, lo, hi, m), "edit box " + Number(lo.x) + " " + Number(lo.y) + " " +
                                                               Number(lo.z) + " " + Number(hi.x) + " " + Number(hi.y) +
                                                               " " + Number(hi.z) + " " + std::to_string(m));
      }
    }
  }

  // A small move of an element that shows the biggest material: that
  // material's whole block is written again.
  std::string MoveInBiggest() {
    const auto* e = SmallElement(biggest_);
    if (e == nullptr) return {};
    const double dz = Grid((Chance(0.5) ? 1 : -1) * Uniform(0.05, 0.2));
    return Apply(hostmodel::MoveElement(model_, e->guid, {0, 0, dz}),
                 "edit move " + e->guid.ToString() + " 0 0 " + Number(dz));
  }

  // A material deletion, with a replacement or leaving its users on the
  // deleted index (the add-on shows them in its default material). The
  // biggest material stays, and four others at least.
  std::string DeleteMaterial(bool replace, std::int32_t* deleted = nullptr) {
    auto live = LiveMaterials();
    live.erase(std::remove(live.begin(), live.end(), biggest_), live.end());
    if (live.size() < 5) return {};
    const std::int32_t m = live[static_cast<std::size_t>(Pick(static_cast<int>(live.size())))];
    std::int32_t with = hostmodel::kNoReplacement;
    std::string line = "edit delete-material " + std::to_string(m) + " none";
    if (replace) {
      do with = AnyMaterial();
      while (with == m);
      line = "edit delete-material " + std::to_string(m) + " " + std::to_string(with);
    }
    if (deleted != nullptr) *deleted = m;
    return Apply(hostmodel::DeleteMaterial(model_, m, with), line);
  }

 private:
  std::string Apply(const hostmodel::Result<hostmodel::ChangeSet>& result, const std::string& line) {
    EXPECT_TRUE(result.ok()) << line << ": " << result.error();
    return result.ok() ? line : std::string();
  }

  hostmodel::Project model_;
  std::mt19937 random_;
  std::string folder_;
  std::int32_t biggest_ = 0;
};

// A renderer that writes another surface's geometry block id into the
// record of a material that is about to go: whatever the retirement
// releases must be the publisher's own block, never the one named there.
std::string Scribble(CorvantaAPI::LiveConnection& guest, const std::string& victim) {
  if (!guest.Lock(100000)) return {};
  const CorvantaAPI::ControlAreaView& area = guest.Area();
  CorvantaAPI::SurfaceRecord* target = nullptr;
  std::uint32_t foreignId = 0, foreignCapacity = 0;
  std::string foreign;
  for (std::uint32_t slot = 0; slot < area.ScanLimit(); ++slot) {
    auto* record = reinterpret_cast<CorvantaAPI::SurfaceRecord*>(area.Slot(slot));
    if (CorvantaAPI::LoadShared(record->head.type) != CorvantaAPI::kTypeSurface) continue;
    const std::string name = base::ToUtf8(CorvantaAPI::ReadFixedText(record->name, CorvantaAPI::kSurfaceTextUnits));
    if (name == victim) {
      target = record;
    } else if (foreignId == 0 && CorvantaAPI::LoadShared(record->geometryBlockId) != 0) {
      foreignId = CorvantaAPI::LoadShared(record->geometryBlockId);
      foreignCapacity = CorvantaAPI::LoadShared(record->geometryBlockCapacity);
      foreign = name;
    }
  }
  if (target != nullptr && foreignId != 0) {
    CorvantaAPI::StoreShared(target->geometryBlockId, foreignId);
    CorvantaAPI::StoreShared(target->geometryBlockCapacity, foreignCapacity);
  }
  guest.Unlock();
  if (target == nullptr || foreignId == 0) return {};
  return "the record of " + victim + " scribbled with block " + std::to_string(foreignId) + " of " + foreign;
}

// Waits (a little) until the publisher's worker holds the link's lock: a
// publish pass is running.
void AwaitPass(CorvantaAPI::LiveConnection& guest, pid_t host) {
  const auto end = Clock::now() + std::chrono::milliseconds(300);
  while (Clock::now() < end && CorvantaAPI::LoadShared(guest.Area().header()->lockOwner) != std::uint32_t(host))
    std::this_thread::sleep_for(std::chrono::microseconds(200));
}

TEST(LinkExactness, SeededEditSequencesEndInTheFreshLinksPicture) {
  const unsigned seed = static_cast<unsigned>(EnvNumber("CORV_EXACTNESS_SEED", std::random_device{}()));
  const std::uint64_t triangles = EnvNumber("CORV_EXACTNESS_TRIANGLES", kSanitized ? 20000 : 400000);
  const int sequences = static_cast<int>(EnvNumber("CORV_EXACTNESS_SEQUENCES", kSanitized ? 1 : 6));
  const int edits = static_cast<int>(EnvNumber("CORV_EXACTNESS_EDITS", kSanitized ? 8 : 14));
  std::printf("exactness seed %u (CORV_EXACTNESS_SEED=%u replays it): %llu triangles, %d sequences of %d edits\n", seed,
              seed, static_cast<unsigned long long>(triangles), sequences, edits);
  std::fflush(stdout);
  RecordProperty("seed", std::to_string(seed));

  const fs::path dir = Root();

  // The building, with spare materials on a few boxes of their own so that
  // material deletions have users to move or leave behind.
  bench::BuildingOptions options;
  options.triangles = triangles;
  bench::BuildingSummary summary;
  std::string error;
  ASSERT_TRUE(bench::WriteBuilding((dir / "Office.obj").string(), options, &summary, &error)) << error;
  auto imported = hostmodel::ImportModel((dir / "Office.obj").string());
  ASSERT_TRUE(imported.ok()) << imported.error();
  hostmodel::Project project = std::move(imported).value();
  for (int i = 0; i < 6; ++i) {
    hostmodel::Material m;
    m.name = "Spare " + std::to_string(i + 1);
    m.guid = hostmodel::Guid::FromName(m.name);
    m.surfaceColor = {0.1 + 0.15 * i, 0.5, 0.9 - 0.1 * i};
    project.materials.push_back(m);
    const double x = -30.0 - 3 * i;
    ASSERT_TRUE(hostmodel::AddBox(project, {x, -30, 0}, {x + 2, -28, 2},
                                  static_cast<std::int32_t>(project.materials.size()), m.name)
                    .ok());
  }
  const std::string pln = (dir / "Office.pln").string();
  ASSERT_TRUE(hostmodel::SaveProjectFile(project, pln).ok());
  auto saved = hostmodel::LoadProjectFile(pln);
  ASSERT_TRUE(saved.ok()) << saved.error();
  Edits random(std::move(saved).value(), seed, dir.string());
  const std::u16string linkName = base::FromUtf8((dir / "Office.dae").string());

  const std::string logPath = (dir / "session.jsonl").string();
  Host host(logPath);
  ASSERT_TRUE(host.running());
  host.Send("open " + pln);
  host.Send("window 3d");
  host.Send("answer alert No");  // no renderer runs: the start asks about one
  host.Send("menu 32101");
  ASSERT_TRUE(host.Sync());
  host.TakeSent();

  int differing = 0;
  for (int sequence = 1; sequence <= sequences; ++sequence) {
    CorvantaAPI::LiveConnection guest;
    ASSERT_TRUE(OpenLink(guest, linkName));
    // The sequence starts from a quiet link: the fresh one of the last.
    {
      std::uint32_t count = 0;
      ASSERT_TRUE(WaitQuiet(guest, &count));
    }
    for (int edit = 0; edit < edits; ++edit) {
      switch (random.Pick(8)) {
        case 0: {  // paused: the edits wait for the resume
          host.Send("menu 32102");
          for (int k = random.Pick(3); k > 0; --k)
            if (auto line = random.ModelEdit(); !line.empty()) host.Send(line);
          host.Send("menu 32101");
          break;
        }
        case 1: {  // away from the 3D window and back: an automatic pause, a walk
          host.Send("window plan");
          for (int k = random.Pick(2); k > 0; --k)
            if (auto line = random.ModelEdit(); !line.empty()) host.Send(line);
          host.Send("window 3d");
          break;
        }
        case 2:
        case 3: {  // the biggest material rewritten, and a walk or an edit while it is
          const std::string move = random.MoveInBiggest();
          if (move.empty()) break;
          host.Send(move);
          AwaitPass(guest, host.pid());
          std::this_thread::sleep_for(std::chrono::microseconds(random.Pick(20000)));
          if (random.Chance(0.5)) {
            host.Send("window plan");
            host.Send("window 3d");
          } else if (auto line = random.ModelEdit(); !line.empty()) {
            host.Send(line);
          }
          break;
        }
        case 4: {  // a record scribbled by a renderer, then its material deleted
          std::int32_t victim = 0;
          const std::string line = random.DeleteMaterial(random.Chance(0.5), &victim);
          if (line.empty()) break;
          const std::string scribbled =
              Scribble(guest, random.model().materials[static_cast<std::size_t>(victim - 1)].name);
          if (!scribbled.empty()) host.Note(scribbled);
          host.Send(line);
          break;
        }
        default:
          if (auto line = random.ModelEdit(); !line.empty()) host.Send(line);
          break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(random.Pick(4) == 0 ? 0 : random.Pick(150)));
    }
    host.Send("wait 100");  // the add-on's idle pass after the last edit
    ASSERT_TRUE(host.Sync());
    const std::string sent = host.TakeSent();
    const CanonicalScene incremental = ReadQuiet(guest);
    guest.Close();

    // A fresh link of the same model.
    host.Send("menu 32103");
    host.Send("answer alert No");
    host.Send("menu 32101");
    ASSERT_TRUE(host.Sync());
    host.TakeSent();
    ASSERT_TRUE(OpenLink(guest, linkName));
    const CanonicalScene fresh = ReadQuiet(guest);
    guest.Close();

    for (const auto& problem : incremental.problems) ADD_FAILURE() << "incremental: " << problem;
    for (const auto& problem : fresh.problems) ADD_FAILURE() << "fresh: " << problem;
    EXPECT_EQ(base::ToUtf8(fresh.firstSurface), "Default material") << "the first surface of a link run";
    const std::string differences = CorvantaAPI::DescribeDifferences(incremental, fresh, "incremental", "fresh");
    std::printf("sequence %d: %zu surfaces, %zu triangles: %s\n", sequence, fresh.surfaces.size(),
                fresh.TriangleCount(), differences.empty() ? "same as a fresh link" : "DIFFERS");
    std::fflush(stdout);
    if (!differences.empty()) {
      ++differing;
      ADD_FAILURE() << "seed " << seed << ", sequence " << sequence << ": the renderer's picture differs from a "
                    << "fresh link's\n"
                    << differences << "after:\n"
                    << sent;
    }
  }
  EXPECT_EQ(differing, 0) << "seed " << seed;

  host.Send("menu 32103");
  EXPECT_EQ(ExitCode(host.Quit()), 0);
  for (const auto& e : ReadLog(logPath).Of("error")) ADD_FAILURE() << "hostsim: " << e.value("reason", "");
}

}  // namespace
