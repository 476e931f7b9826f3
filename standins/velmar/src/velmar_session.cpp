#include "velmar_session.h"

#include <algorithm>
#include <chrono>

#include "area_object.h"
#include "base/utf.h"
#include "livelink/link_reader.h"
#include "livelink/live_connection.h"
#include "loop_wait.h"
#include "platform/win32.h"
#include "scene_mirror.h"
#include "terminal_text.h"
#include "util/text.h"
#include "velmar_output.h"

using CorvantaAPI::LinkReader;
using CorvantaAPI::LinkSnapshot;
using CorvantaAPI::LiveConnection;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace velmar {

namespace {

constexpr char16_t kWindowClass[] = u"VELMAR_START_WINDOW";
constexpr auto kRetryPeriod = std::chrono::milliseconds(200);
constexpr auto kLivenessPeriod = std::chrono::milliseconds(300);
constexpr int kDrainLimit = 256;  // messages taken per turn of the loop

bool Listed(const std::vector<std::u16string>& names, const std::u16string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

class Session {
 public:
  Session(const RunOptions& options, Reporter& reporter)
      : options_(options), reporter_(reporter), reader_(connection_), mirror_(connection_) {}

  int Run();

 private:
  bool TryOpen();
  void CheckLiveness();
  void NoteRegistryRead(unsigned long error);
  // merged: how many wake-ups this one stands for (those that were queued
  // together are read once).
  void OnMessage(const platform::PostedMessage& message, int merged = 1);
  void EndLink();
  void Drop(const std::string& reason);
  bool DroppedIfShrunk();
  void UpdateMirror(const char* cause);
  void SaveModel();
  void EmitLiveReports();
  std::shared_ptr<const LiveSnapshot> LiveSnapshotOf(const Scene& scene, const char* cause, double wakeAt,
                                                     double readAt) const;

  const RunOptions& options_;
  Reporter& reporter_;
  LiveConnection connection_;
  LinkReader reader_;
  SceneMirror mirror_;
  LinkSnapshot last_;
  std::u16string name_;
  // The control area of a link dropped as broken (its memory was shrunk
  // under this renderer), by name and object: its publisher may not have
  // noticed yet and still lists it, and joining it again would keep the
  // dead area alive under its name, so that the publisher's next start of
  // the same link would find the name taken. A new area under the name is
  // a new object and is joined.
  std::u16string brokenName_;
  std::uint64_t brokenArea_ = 0;
  std::uint64_t openArea_ = 0;  // the object the held link's name named when it was opened
  bool seenInRegistry_ = false;
  unsigned long registryError_ = 0;  // the registry read's failure last told, 0 while it reads whole
  bool stop_ = false;
  int wakes_ = 0;
  int exitCode_ = 0;
  int pictures_ = 0;
  std::unique_ptr<LiveServer> live_;
  double wakeAt_ = 0;  // the wake-up being read, on the wall clock; 0 for none
};

double WallMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The page's copy of the scene: the surfaces share their geometry and
// textures with the mirror, which changes a geometry in place only once
// the live view has let it go.
std::shared_ptr<const LiveSnapshot> Session::LiveSnapshotOf(const Scene& scene, const char* cause, double wakeAt,
                                                            double readAt) const {
  auto snapshot = std::make_shared<LiveSnapshot>();
  snapshot->link = base::ToUtf8(name_);
  snapshot->cause = cause;
  snapshot->wakeAt = wakeAt;
  snapshot->readAt = readAt;
  snapshot->readDoneAt = WallMs();
  snapshot->surfaces = scene.surfaces;
  snapshot->camera = scene.camera;
  snapshot->status = scene.status;
  return snapshot;
}

// Reads what changed into the mirror; tells what it read and found wrong,
// and draws a picture when the scene changed.
void Session::UpdateMirror(const char* cause) {
  if (!connection_.IsOpen()) return;
  // Pages still being sent a geometry about to change either let it go
  // soon or are dropped, before the read and outside the link's lock:
  // else the change would go into a second copy of it.
  if (live_) live_->LetGo(mirror_.GeometriesToChange());
  const auto started = Clock::now();
  const double readAt = WallMs();
  const UpdateStats stats = mirror_.Update();
  const double readMs = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
  EmitProblems(reporter_, mirror_.TakeProblems());
  if (DroppedIfShrunk()) return;
  if (!stats.changed()) return;
  const Scene& scene = mirror_.scene();
  std::uint32_t liveUpdate = 0;
  if (live_) {
    liveUpdate = live_->Publish(LiveSnapshotOf(scene, cause, wakeAt_ > 0 ? wakeAt_ : readAt, readAt));
  }
  json fields = {{"cause", cause}, {"read", StatsJson(stats)}, {"readMs", readMs}, {"scene", SceneSummary(scene)}};
  if (liveUpdate != 0) fields["live"] = liveUpdate;  // the page's number for this update
  // The content of what was read, for scripts only: when the read began (on
  // the clock of "at"), each surface it touched with its digest, the camera.
  if (reporter_.jsonMode()) {
    fields["readAt"] = readAt;
    fields["changed"] = UpdateContentJson(scene, stats);
  }
  reporter_.Emit("update", fields,
                 std::string("scene updated (") + cause + "): " + std::to_string(scene.surfaces.size()) +
                     " surfaces, " + std::to_string(scene.TriangleCount()) + " triangles; read " +
                     std::to_string(stats.parametersRead) + " parameters, " + std::to_string(stats.geometriesRead) +
                     " geometries, " + std::to_string(stats.texturesRead) + " textures");
  if (!options_.snapshotsDir.empty()) {
    char name[64];
    std::snprintf(name, sizeof name, "/picture-%03d.png", ++pictures_);
    EmitPicture(reporter_, scene, options_.snapshotsDir + name, options_.width, options_.height, options_.framing);
  }
}

// What the live view's thread has to tell, told from this one: a page's
// own timings, pages coming and going, refused requests.
void Session::EmitLiveReports() {
  for (json& report : live_->TakeReports()) {
    const std::string event = report.value("event", "live");
    report.erase("event");
    std::string human;
    if (event == "page") {
      char line[160];
      if (report.contains("delayMs")) {
        std::snprintf(line, sizeof line, "page %d showed update %d, %.1f ms after the wake-up",
                      report.value("client", 0), report.value("update", 0), report.value("delayMs", 0.0));
      } else {
        std::snprintf(line, sizeof line, "page %d showed update %d on opening", report.value("client", 0),
                      report.value("update", 0));
      }
      human = line;
    } else if (event == "client") {
      human = "page " + std::to_string(report.value("client", 0)) + " " + report.value("state", "") +
              (report.contains("reason") ? ": " + report.value("reason", "") : "");
    } else if (event == "suppressed") {
      human = "reports not told, too many to tell:";
      for (const auto& [kind, count] : report["counts"].items())
        human += " " + std::to_string(count.get<std::uint64_t>()) + " " + kind;
      human += " (" + std::to_string(report.value("refusedAtCap", std::uint64_t{0})) +
               " connections refused past the cap in all)";
    } else {
      human = "refused a request (" + std::to_string(report.value("status", 0)) + "): " + report.value("reason", "") +
              " " + Printable(report.value("target", ""));
    }
    reporter_.Emit(event, std::move(report), human);
  }
}

void Session::SaveModel() {
  if (!options_.gltfPath.empty() && !mirror_.scene().surfaces.empty())
    EmitGltf(reporter_, mirror_.scene(), options_.gltfPath);
}

bool Session::TryOpen() {
  std::vector<std::u16string> candidates;
  if (!options_.link.empty()) candidates.push_back(options_.link);
  else candidates = connection_.EnumConnections(0);
  for (const auto& name : candidates) {
    const std::uint64_t area = AreaObject(name);
    if (brokenArea_ != 0 && name == brokenName_ && area == brokenArea_) continue;
    if (connection_.Open(name) != 0) continue;
    // The name named the same object before and after the open, so the one
    // mapped is the one recorded (a restart in between is met next time).
    if (AreaObject(name) != area) {
      connection_.Close();
      continue;
    }
    openArea_ = area;
    // A link this renderer (or another) has ended already is not joined again.
    if (connection_.TestFlags(CorvantaAPI::kFlagClosed) != 0) {
      connection_.Close();
      continue;
    }
    name_ = name;
    reader_ = LinkReader(connection_);
    mirror_.Reset();
    last_ = reader_.Read();
    seenInRegistry_ = Listed(connection_.EnumConnections(0), name_);
    const std::string narrow = base::ToUtf8(name_);
    reporter_.Emit("opened", {{"name", narrow}, {"snapshot", SnapshotJson(last_)}},
                   "opened link " + Printable(narrow) + "\n" + reporter_.HumanSnapshot(last_));
    UpdateMirror("opened");
    if (connection_.IsOpen()) return true;  // else dropped at the first read: try the next
  }
  return false;
}

void Session::Drop(const std::string& reason) {
  const std::string narrow = base::ToUtf8(name_);
  SaveModel();
  mirror_.Reset();
  if (live_) live_->LinkEnded(narrow, reason);
  connection_.Close();
  reporter_.Emit("link-ended", {{"name", narrow}, {"reason", reason}},
                 "link " + Printable(narrow) + " ended: " + reason);
  name_.clear();
  if (options_.exitWhenEnded) stop_ = true;
}

// A view someone shrank under us was read as zeros (the guard against
// SIGBUS): what the read gave was refused, and the link cannot be trusted
// any further.
bool Session::DroppedIfShrunk() {
  if (!connection_.MappingBroken()) return false;
  brokenName_ = name_;
  brokenArea_ = AreaObject(name_);
  Drop("its shared memory was shrunk under this renderer");
  return true;
}

// Said once while the registry cannot be read, and once when it can again.
void Session::NoteRegistryRead(unsigned long error) {
  if (error == registryError_) return;
  const std::string narrow = base::ToUtf8(name_);
  if (error != 0) {
    reporter_.Emit(
        "problem",
        {{"record", "registry"},
         {"slot", 0},
         {"id", 0},
         {"field", "connections"},
         {"error", error},
         {"message", "the registry of connections could not be read (error " + std::to_string(error) +
                         "); whether the publisher still lists " + narrow + " is unknown, so the link is followed on"}},
        "problem: the registry of connections could not be read (error " + std::to_string(error) + "); link " +
            Printable(narrow) + " is followed on");
  } else {
    reporter_.Emit("registry", {{"readable", true}}, "the registry of connections can be read again");
  }
  registryError_ = error;
}

void Session::CheckLiveness() {
  if (!connection_.IsOpen()) return;
  // The area is read first: a shrunk one is met here and named as such (the
  // registry would call its value stale and purge it).
  const std::uint32_t creator = CorvantaAPI::LoadShared(connection_.Area().header()->creatorPid);
  if (DroppedIfShrunk()) return;
  // This process keeps the control area alive itself, so the area existing
  // proves nothing: the publisher's registry value and process do. A list
  // that could not be read whole (a damaged store, no descriptor free to
  // read it) is no verdict: the name may be missing only from the part
  // that could not be read.
  const LiveConnection::ConnectionList list = connection_.ReadConnections(0);
  const bool listed = Listed(list.names, name_);
  if (listed) seenInRegistry_ = true;
  NoteRegistryRead(listed || list.whole() ? 0 : list.error);
  if (seenInRegistry_ && !listed && list.whole()) return Drop("the publisher removed it");
  if (CorvantaAPI::ProcessGone(creator)) return Drop("the publisher is gone");
  // A publisher that stopped its link and started it again while this
  // renderer was not looking (busy, or stopped) lists the same name from
  // the same process, but the name is a new area now: the one held is dead,
  // and the new link's wake-ups would otherwise be read against it.
  const std::uint64_t area = AreaObject(name_);
  if (area != 0 && area != openArea_) return Drop("the publisher started it anew");
}

void Session::EndLink() {
  SaveModel();
  mirror_.Reset();
  connection_.SetFlags(CorvantaAPI::kFlagClosed);
  const std::string narrow = base::ToUtf8(name_);
  if (live_) live_->LinkEnded(narrow, "this renderer ended it");
  reporter_.Emit("ended", {{"name", narrow}}, "ended link " + Printable(narrow));
  connection_.Close();
  name_.clear();
  if (options_.exitWhenEnded) stop_ = true;
}

void Session::OnMessage(const platform::PostedMessage& message, int merged) {
  if (message.message != CorvantaAPI::kWakeMessage) {
    reporter_.Emit("message",
                   {{"message", message.message},
                    {"wParam", static_cast<std::uint64_t>(message.wParam)},
                    {"lParam", static_cast<std::int64_t>(message.lParam)}},
                   "message " + std::to_string(message.message) + " ignored");
    return;
  }
  wakes_ += merged;
  wakeAt_ = WallMs();
  struct Clear {
    double& at;
    ~Clear() { at = 0; }
  } clear{wakeAt_};
  // A wake-up may come from a new link while the one held has just ended:
  // that is found now, not at the next poll, and the new link is opened
  // from this very wake-up.
  CheckLiveness();
  if (stop_) return;
  if (!connection_.IsOpen() && !TryOpen()) {
    reporter_.Emit("wake", {{"code", static_cast<std::int64_t>(message.lParam)}, {"linked", false}},
                   "wake-up, but no link could be opened");
    return;
  }
  const LinkSnapshot now = reader_.Read();
  json changes = ChangesJson(last_, now);
  const std::string human = "wake-up (code " + std::to_string(message.lParam) + ")\n" +
                            reporter_.HumanChanges(changes) + reporter_.HumanSnapshot(now);
  reporter_.Emit("wake",
                 {{"code", static_cast<std::int64_t>(message.lParam)},
                  {"parameter", static_cast<std::uint64_t>(message.wParam)},
                  {"linked", true},
                  {"merged", merged},
                  {"changes", std::move(changes)},
                  {"snapshot", SnapshotJson(now)}},
                 human);
  last_ = now;
  UpdateMirror("wake");
  if (connection_.IsOpen() && options_.endAfterWakes > 0 && wakes_ >= options_.endAfterWakes) EndLink();
}

int Session::Run() {
  if (options_.serve) {
    std::string error;
    live_ = LiveServer::Start(options_.live, &error);
    if (!live_) {
      reporter_.Error("cannot serve the live view: " + error);
      return 1;
    }
    reporter_.Emit("serving",
                   {{"url", live_->url()},
                    {"port", live_->port()},
                    {"maxConnections", live_->maxConnections()},
                    {"maxPages", live_->maxPages()}},
                   "serving " + live_->url());
  }
  platform::WindowDesc desc;
  desc.className = kWindowClass;
  desc.title = u"Velmar " + options_.version;
  HWND window = platform::CreatePublishedWindow(desc);
  if (window == nullptr) {
    reporter_.Error("cannot publish the main window (error " + std::to_string(GetLastError()) + ")");
    return 1;
  }
  // Ctrl-C ends the loop cleanly from before "ready" is told on.
  std::string waitError;
  const std::unique_ptr<LoopWait> wait = LoopWait::Create(window, live_ ? live_->reportFd() : -1, &waitError);
  if (!wait) {
    reporter_.Error(waitError);
    platform::DestroyPublishedWindow(window);
    return 1;
  }
  const std::string title = base::ToUtf8(desc.title);
  reporter_.Emit("ready",
                 {{"pid", GetCurrentProcessId()},
                  {"window", reinterpret_cast<std::uintptr_t>(window)},
                  {"class", base::ToUtf8(desc.className)},
                  {"title", title}},
                 title + " ready (pid " + std::to_string(GetCurrentProcessId()) + "), waiting for a live link");

  const auto started = Clock::now();
  auto nextTry = started;
  auto nextCheck = started + kLivenessPeriod;
  while (!stop_) {
    const unsigned ready = wait->Wait(50, &waitError);
    if (!waitError.empty()) {
      reporter_.Error(waitError);
      exitCode_ = 1;
      break;
    }
    if (ready & LoopWait::kEnd) break;
    if (ready & LoopWait::kLiveReports) {
      EmitLiveReports();
      if (live_->WholeWanted()) live_->PublishWhole(LiveSnapshotOf(mirror_.scene(), "whole", 0, 0));
    }
    if (ready & LoopWait::kMessages) {
      // Wake-ups queued together are read once: a flood of them, or edits
      // faster than this renderer reads, cost one read, not one each. The
      // drain is bounded, so that a sender faster than this loop still lets
      // the wait above see Ctrl-C.
      platform::PostedMessage message, wake;
      int wakes = 0;
      for (int taken = 0; taken < kDrainLimit && !stop_ && platform::ReceivePostedMessage(window, &message, 0);
           ++taken) {
        if (message.message == CorvantaAPI::kWakeMessage) {
          wake = message;
          ++wakes;
        } else {
          OnMessage(message);
        }
      }
      if (wakes > 0 && !stop_) OnMessage(wake, wakes);
    }
    const auto now = Clock::now();
    if (!connection_.IsOpen() && now >= nextTry) {
      nextTry = now + kRetryPeriod;
      if (!TryOpen() && options_.waitMs >= 0 && now - started >= std::chrono::milliseconds(options_.waitMs) &&
          wakes_ == 0) {
        reporter_.Error("no live link appeared within " + std::to_string(options_.waitMs) + " ms");
        exitCode_ = 3;
        break;
      }
    }
    if (connection_.IsOpen() && now >= nextCheck) {
      nextCheck = now + kLivenessPeriod;
      CheckLiveness();
      // The camera and the status change without a wake-up (a camera that
      // stops being followed, a new status): look at the counters anyway.
      UpdateMirror("poll");
    }
  }
  if (connection_.IsOpen()) SaveModel();
  connection_.Close();
  platform::DestroyPublishedWindow(window);
  if (live_) {
    live_->Stop();
    EmitLiveReports();
    live_.reset();
  }
  reporter_.Emit("exit", {{"code", exitCode_}}, "velmar exits");
  return exitCode_;
}

}  // namespace

int Run(const RunOptions& options, Reporter& reporter) {
  Session session(options, reporter);
  return session.Run();
}

int EndLink(const std::u16string& link, Reporter& reporter) {
  LiveConnection connection;
  const std::string narrow = base::ToUtf8(link);
  if (connection.Open(link) != 0) {
    reporter.Error("no live link named " + Printable(narrow));
    return 1;
  }
  connection.SetFlags(CorvantaAPI::kFlagClosed);
  reporter.Emit("ended", {{"name", narrow}}, "ended link " + Printable(narrow));
  return 0;
}

int Snapshot(const SnapshotOptions& options, Reporter& reporter) {
  LiveConnection connection;
  std::u16string link = options.link;
  if (link.empty()) {
    const auto names = connection.EnumConnections(0);
    if (!names.empty()) link = names.front();
  }
  const std::string narrow = base::ToUtf8(link);
  if (link.empty() || connection.Open(link) != 0) {
    reporter.Error(link.empty() ? "no live link is announced" : "no live link named " + Printable(narrow));
    return 1;
  }
  SceneMirror mirror(connection);
  const UpdateStats stats = mirror.Update();
  EmitProblems(reporter, mirror.TakeProblems());
  reporter.Emit("scene", {{"name", narrow}, {"read", StatsJson(stats)}, {"scene", SceneSummary(mirror.scene())}},
                "link " + Printable(narrow) + ": " + std::to_string(mirror.scene().surfaces.size()) + " surfaces, " +
                    std::to_string(mirror.scene().TriangleCount()) + " triangles, " +
                    std::to_string(mirror.scene().TextureCount()) + " textures");
  int result = 0;
  if (!options.picture.empty() &&
      !EmitPicture(reporter, mirror.scene(), options.picture, options.width, options.height, options.framing))
    result = 2;
  if (!options.gltfPath.empty() && !EmitGltf(reporter, mirror.scene(), options.gltfPath)) result = 2;
  if (!options.canonicalPath.empty() && !EmitCanonical(reporter, connection, options.canonicalPath)) result = 2;
  return result;
}

int ShowLink(const std::u16string& link, Reporter& reporter) {
  LiveConnection connection;
  const std::string narrow = base::ToUtf8(link);
  if (connection.Open(link) != 0) {
    reporter.Error("no live link named " + Printable(narrow) + " (or its control area is not valid)");
    return 1;
  }
  LinkReader reader(connection);
  const LinkSnapshot snapshot = reader.Read();
  reporter.Emit("snapshot", {{"name", narrow}, {"snapshot", SnapshotJson(snapshot)}},
                "link " + Printable(narrow) + "\n" + reporter.HumanSnapshot(snapshot));
  return 0;
}

int ListLinks(std::uint32_t kind, Reporter& reporter) {
  LiveConnection connection;
  json names = json::array();
  std::string human;
  for (const auto& name : connection.EnumConnections(kind)) {
    names.push_back(base::ToUtf8(name));
    human += Printable(base::ToUtf8(name)) + "\n";
  }
  if (human.empty()) human = "no live links\n";
  reporter.Emit("links", {{"links", std::move(names)}}, human);
  return 0;
}

}  // namespace velmar
