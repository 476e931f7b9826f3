// The add-on when memory runs out, in the host stand-in in process with the
// real module loaded: this program replaces operator new, and an armed
// countdown makes the n-th allocation that the module's own code asks for
// on this thread fail with std::bad_alloc, as a host out of memory does.
//   - at load: Initialize either starts the add-on whole or refuses it,
//     saying why in the host's debug output, with no handler installed; the
//     host keeps such a module inert and unloads it without a fault;
//   - in the idle pass: the pass says what stopped it, and the user's edit
//     is not lost: the next pass takes it to the renderer;
//   - in a start from the menu: nothing reaches the host's menu dispatch,
//     and a later start works.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/utf.h"
#include "failing_allocations.h"
#include "livelink/canonical_scene.h"
#include "hostsdk/types.h"
#include "session.h"
#include "session_env.h"

namespace {

// Only the module's own allocations are failed: the host's go on.
bool FromModule(void* caller) {
  Dl_info info{};
  if (::dladdr(caller, &info) == 0 || info.dli_fname == nullptr) return false;
  const std::string_view file(info.dli_fname);
  return file.size() >= 12 && file.substr(file.size() - 12) == "/corvanta.so";
}

using namespace system_test;

void Arm(long n) {
  testsupport::CountedCaller = FromModule;
  testsupport::ArmAllocationFailure(n);
}
bool Disarm() { return testsupport::DisarmAllocationFailure(); }

// A session of the host stand-in whose log this test keeps.
struct HostSession {
  HostSession() : session(Options(), human) {
    sink = session.ui().log().AddSink([this](const host::ui::LogEvent& e) { events.push_back(e.data); });
  }
  // The host's log outlives every session in this process: the sink goes
  // with the events it fills.
  ~HostSession() { host::ui::Ui::Get().log().RemoveSink(sink); }
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;
  static hostsim::Options Options() {
    hostsim::Options options;
    options.launch = false;
    options.quiet = true;
    return options;
  }
  // Runs the lines of a script; false for the first one the host refused.
  bool Run(const std::string& script) {
    std::istringstream lines(script);
    for (std::string line; std::getline(lines, line);)
      if (!session.Execute(line, "test")) return false;
    return true;
  }
  std::vector<std::string> Texts(const std::string& kind) const {
    std::vector<std::string> texts;
    for (const json& e : events)
      if (e.value("kind", "") == kind) texts.push_back(e.value("text", ""));
    return texts;
  }
  std::ostringstream human;
  // Before the session: its end (the add-on's unload) still logs.
  std::vector<json> events;
  int sink = 0;
  hostsim::Session session;
};

// What one load with its n-th module allocation failed left: the host's
// record of the add-on and its debug output, as the forked child saw it.
struct Load {
  int exit = -1;  // 0: failed at n; 1: the module made fewer allocations
  json seen;
};

// Runs body in a forked child, which says what it saw in *seen or ends the
// child with an exit code of its own; the parent gets both.
template <typename Body>
Load InChild(const std::string& name, Body body) {
  const std::string report = Root() + "/" + name + ".json";
  const pid_t pid = ::fork();
  if (pid == 0) {
    json seen;
    body(&seen);
    std::ofstream(report) << seen.dump();
    std::_Exit(0);
  }
  Load load;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return load;
  load.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  if (load.exit == 0) load.seen = json::parse(ReadAll(report), nullptr, false);
  return load;
}

Load LoadFailingAt(long n) {
  return InChild("load-" + std::to_string(n), [n](json* out) {
    // The module's static constructors run here, unarmed: a program whose
    // own start-up cannot allocate ends before any add-on is asked.
    if (::dlopen(CORVANTA_MODULE_PATH, RTLD_NOW) == nullptr) ::_exit(3);
    json& seen = *out;
    {
      HostSession host;
      Arm(n);
      host.session.Execute(std::string("load ") + CORVANTA_MODULE_PATH, "test");
      const bool failed = Disarm();
      if (!failed) ::_exit(1);
      const std::vector<host::AddonId> ids = host.session.host().Addons();
      if (ids.size() != 1) ::_exit(4);
      const host::AddonRecord* record = host.session.host().Addon(ids.front());
      seen["initialize"] = std::uint32_t(record->initializeResult);
      seen["handlers"] = record->projectHandler != nullptr || record->viewHandler != nullptr;
      seen["saver"] = false;
      for (const auto& type : host.session.host().FileTypes()) seen["saver"] = seen["saver"] || type.handler3D;
      // The inert add-on's commands do nothing (the host refuses a command
      // nobody handles); a project and a start are what a user would try.
      (void)host.Run(SavedProject("load-" + std::to_string(n)) + "window 3d\nanswer alert No\nmenu 32101\n");
      seen["debug"] = host.Texts("host.debug");
      seen["status"] = host.Texts("statusbar");
    }  // the host quits: FreeData and unload
  });
}

TEST(AllocationFailure, InitializeStartsTheAddOnWholeOrRefusesItCleanly) {
  ::setenv("CORV_URL_OPENER", "/bin/true", 1);
  ForgetSettings();
  int refused = 0;
  long n = 1;
  for (;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " failed");
    const Load load = LoadFailingAt(n);
    ASSERT_NE(load.exit, 3) << "the module does not load";
    if (load.exit == 1) break;  // past the module's last allocation at load
    ASSERT_EQ(load.exit, 0) << "the host did not survive the load";
    const json& seen = load.seen;
    ASSERT_TRUE(seen.is_object());
    const std::vector<std::string> debug = seen["debug"];
    if (seen["initialize"] == std::uint32_t(APIERR_MEMFULL)) {
      ++refused;
      EXPECT_FALSE(seen["handlers"].get<bool>());
      EXPECT_FALSE(seen["saver"].get<bool>());
      EXPECT_EQ(debug, std::vector<std::string>{"Corvanta: the add-on could not start: std::bad_alloc\n"});
      EXPECT_TRUE(seen["status"].empty()) << "the inert add-on started a link";
    } else {
      EXPECT_EQ(seen["initialize"], std::uint32_t(NoError));
      EXPECT_TRUE(seen["handlers"].get<bool>());
      EXPECT_TRUE(seen["saver"].get<bool>());
    }
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(refused, 0) << "no allocation of the add-on's start failed";
  EXPECT_GT(n, 20) << "the add-on's start made fewer allocations than expected";
}

// The catch-alls at the host's doors: an idle pass and a menu command
// whose first allocation fails each say what stopped them in the host's
// debug output, the host goes on, and the pass says when it works again.
TEST(AllocationFailure, TheHostsDoorsTellWhatStoppedThem) {
  ::setenv("CORV_URL_OPENER", "/bin/true", 1);
  ForgetSettings();
  HostSession host;
  ASSERT_TRUE(host.Run(std::string("load ") + CORVANTA_MODULE_PATH + "\n" + SavedProject("doors") +
                       "window 3d\nprojection perspective\nanswer alert No\nmenu 32101\nedit box 30 0 20 31 1 21 1"));
  host.events.clear();
  // The pass runs at most every 33 ms: pump until one meets the failure.
  bool failed = false;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       !failed && std::chrono::steady_clock::now() < end;) {
    Arm(1);
    host.session.Pump();
    failed = Disarm();
    if (!failed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(failed) << "no idle pass ran";
  const std::string recovered = "Corvanta: the idle pass runs again after 1 failed\n";
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       host.Texts("host.debug").size() < 2 && std::chrono::steady_clock::now() < end;) {
    host.session.Pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(host.Texts("host.debug"),
            (std::vector<std::string>{"Corvanta: the idle pass stopped: std::bad_alloc\n", recovered}));

  ASSERT_TRUE(host.Run("menu 32103"));
  host.events.clear();
  ASSERT_TRUE(host.Run("answer alert No"));
  Arm(1);
  (void)host.session.Execute("menu 32101", "test");  // the host reports the failed command
  ASSERT_TRUE(Disarm());
  EXPECT_EQ(host.Texts("host.debug"), std::vector<std::string>{"Corvanta: the command 32101 failed: std::bad_alloc\n"});
  // The host goes on, and so does the add-on: the next start works.
  EXPECT_TRUE(host.Run("answer alert No\nmenu 32101"));
  const std::vector<std::string> status = host.Texts("statusbar");
  EXPECT_NE(std::find(status.begin(), status.end(), "Corvanta started."), status.end());
  EXPECT_TRUE(host.Run("menu 32103"));
}

// What one start with its n-th module allocation failed left, seen by the
// forked child: the host's debug output and the link's state afterwards,
// and whether a second start then worked.
Load StartFailingAt(long n) {
  return InChild("start-" + std::to_string(n), [n](json* out) {
    json& seen = *out;
    try {
      HostSession host;
      if (!host.Run(std::string("load ") + CORVANTA_MODULE_PATH + "\n" + SavedProject("start-" + std::to_string(n)) +
                    "window 3d\nprojection perspective\n"))
        ::_exit(3);
      host.events.clear();
      Arm(n);
      const bool ran = host.Run("answer alert No\nmenu 32101");
      const bool failed = Disarm();
      if (!failed) ::_exit(1);
      seen["ran"] = ran;
      seen["debug"] = host.Texts("host.debug");
      seen["statusAfterFailure"] = host.Texts("statusbar");
      // The user tries again: stops whatever runs (a stopped link has the
      // command disabled), then starts.
      (void)host.Run("menu 32103");
      host.events.clear();
      seen["again"] = host.Run("answer alert No\nmenu 32101");
      seen["statusAgain"] = host.Texts("statusbar");
      (void)host.Run("menu 32103");
    } catch (...) {
      ::_exit(5);  // it reached the host
    }
  });
}

// A start whose n-th allocation fails, for every n the start makes: the
// host survives, the start that failed left no link behind (a worker
// publishing into a link the menus call stopped, which a second start then
// closed under it), and the user's next start works.
TEST(AllocationFailure, AStartThatRunsOutOfMemoryLeavesTheHostAndALaterStartWhole) {
  ::setenv("CORV_URL_OPENER", "/bin/true", 1);
  ForgetSettings();
  int failedStarts = 0;
  long n = 1;
  // Every allocation in turn: how many a start makes, and which, depends
  // on what the per-user registry lists at the time.
  for (;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of the start failed");
    const Load load = StartFailingAt(n);
    if (load.exit == 1) break;  // past the start's last allocation
    ASSERT_NE(load.exit, 5) << "the failure left the add-on into the host";
    ASSERT_EQ(load.exit, 0) << "the host did not survive the start";
    const json& seen = load.seen;
    ASSERT_TRUE(seen.is_object());
    const std::vector<std::string> debug = seen["debug"];
    if (!debug.empty()) {
      ++failedStarts;
      EXPECT_EQ(debug.back(), "Corvanta: the command 32101 failed: std::bad_alloc\n");
      // The bar does not go on saying a start is under way.
      const std::vector<std::string> status = seen["statusAfterFailure"];
      if (!status.empty()) {
        EXPECT_EQ(status.back(), "") << seen.dump();
      }
    }
    EXPECT_TRUE(seen["again"].get<bool>());
    const std::vector<std::string> again = seen["statusAgain"];
    EXPECT_NE(std::find(again.begin(), again.end(), "Corvanta started."), again.end()) << seen.dump();
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(failedStarts, 0) << "no allocation of the start failed";
}

// Triangles of a link, all surfaces together.
std::size_t Triangles(const CorvantaAPI::CanonicalScene& scene) {
  std::size_t n = 0;
  for (const auto& s : scene.surfaces) n += s.triangles.size();
  return n;
}

// The link's lock is keyed by process: a reader in the publisher's own
// process would take it while the add-on's worker holds it and read a
// publication half written. The link is read, as a renderer reads it, by a
// forked child, which sends its canonical form back through a pipe.
template <typename T>
void Put(std::string& out, const T& value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}
template <typename C>
void PutRange(std::string& out, const C& range) {
  Put(out, std::uint64_t(range.size()));
  out.append(reinterpret_cast<const char*>(range.data()), range.size() * sizeof(range[0]));
}
struct Taker {
  std::string_view in;
  bool ok = true;
  template <typename T>
  void Take(T& value) {
    if (in.size() < sizeof value) {
      ok = false;
      return;
    }
    std::memcpy(&value, in.data(), sizeof value);
    in.remove_prefix(sizeof value);
  }
  template <typename C>
  void TakeRange(C& range) {
    std::uint64_t n = 0;
    Take(n);
    if (!ok || n > in.size() / sizeof(range[0])) {
      ok = false;
      return;
    }
    range.resize(n);
    std::memcpy(range.data(), in.data(), n * sizeof(range[0]));
    in.remove_prefix(n * sizeof(range[0]));
  }
};

CorvantaAPI::CanonicalScene ReadLinkApart(const std::u16string& name) {
  int out[2];
  if (::pipe(out) != 0) {
    ADD_FAILURE() << "no pipe";
    return {};
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(out[0]);
    CorvantaAPI::CanonicalScene scene;
    CorvantaAPI::LiveConnection guest;
    if (guest.Open(name) == 0) {
      scene = CorvantaAPI::ReadCanonicalScene(guest);
      guest.Close();
    } else {
      scene.problems.push_back("the link does not open");
    }
    std::string bytes;
    Put(bytes, std::uint64_t(scene.surfaces.size()));
    for (const auto& surface : scene.surfaces) {
      const CorvantaAPI::CanonicalMaterial& m = surface.material;
      PutRange(bytes, m.name);
      Put(bytes, m.surfaceType);
      Put(bytes, m.colour);
      Put(bytes, m.floats);
      Put(bytes, m.textured);
      PutRange(bytes, m.texturePath);
      Put(bytes, m.textureDigest);
      PutRange(bytes, surface.triangles);
    }
    Put(bytes, std::uint64_t(scene.problems.size()));
    for (const auto& problem : scene.problems) PutRange(bytes, problem);
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(out[1], bytes.data() + done, bytes.size() - done);
      if (n <= 0) ::_exit(2);
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(out[1]);
  std::string bytes;
  char buffer[65536];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  CorvantaAPI::CanonicalScene scene;
  Taker taker{bytes};
  std::uint64_t surfaces = 0, problems = 0;
  taker.Take(surfaces);
  for (std::uint64_t i = 0; taker.ok && i < surfaces; ++i) {
    CorvantaAPI::CanonicalSurface& surface = scene.surfaces.emplace_back();
    CorvantaAPI::CanonicalMaterial& m = surface.material;
    taker.TakeRange(m.name);
    taker.Take(m.surfaceType);
    taker.Take(m.colour);
    taker.Take(m.floats);
    taker.Take(m.textured);
    taker.TakeRange(m.texturePath);
    taker.Take(m.textureDigest);
    taker.TakeRange(surface.triangles);
  }
  taker.Take(problems);
  for (std::uint64_t i = 0; taker.ok && i < problems; ++i) taker.TakeRange(scene.problems.emplace_back());
  for (const auto& problem : scene.problems) ADD_FAILURE() << problem;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !taker.ok || !taker.in.empty())
    ADD_FAILURE() << "the reading process failed (status " << status << ")";
  return scene;
}

TEST(AllocationFailure, AnIdlePassThatRunsOutOfMemorySaysSoAndLosesNoEdit) {
  ::setenv("CORV_URL_OPENER", "/bin/true", 1);
  ForgetSettings();
  HostSession host;
  ASSERT_TRUE(host.Run(std::string("load ") + CORVANTA_MODULE_PATH + "\n" + SavedProject("idle") +
                       "window 3d\nprojection perspective\nanswer alert No\nmenu 32101\n"));
  const std::u16string link = base::FromUtf8(Root() + "/idle.dae");
  ASSERT_TRUE(AwaitRegistered(link, true));

  // Waits, pumping the host, until the link holds as many triangles as
  // `wanted` asks (an edit's pass runs on the host's idle time, its
  // publication on the add-on's worker).
  auto await = [&](auto wanted) {
    CorvantaAPI::CanonicalScene scene;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < end;) {
      host.session.Pump();
      scene = ReadLinkApart(link);
      if (wanted(Triangles(scene))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return scene;
  };
  CorvantaAPI::CanonicalScene before = await([](std::size_t n) { return n > 0; });
  ASSERT_GT(Triangles(before), 0u);
  // An edit a pass: the n-th allocation of the pass's own code fails, for n
  // from the first on, then further apart, until a pass makes fewer.
  int stopped = 0;
  for (long n = 1, box = 0; box < 60; n += n < 24 ? 1 : n / 3, ++box) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of the pass failed");
    before = ReadLinkApart(link);
    const float x = 30.0f + 2.0f * float(box);
    std::ostringstream edit;
    edit << "edit box " << x << " 0 20 " << x + 1 << " 1 21 1";
    // The host is idle after each command: the edit's own idle pass may be
    // the one that reads it, so it runs armed too. The pass runs at most
    // every 33 ms: pump until one fails or, making fewer allocations, takes
    // the edit to the link.
    host.events.clear();
    Arm(n);
    const bool edited = host.Run(edit.str());
    bool failed = Disarm(), taken = false;
    ASSERT_TRUE(edited);
    if (!failed) taken = Triangles(ReadLinkApart(link)) == Triangles(before) + 12;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !failed && !taken && std::chrono::steady_clock::now() < end;) {
      Arm(n);
      host.session.Pump();
      failed = Disarm();
      if (!failed) taken = Triangles(ReadLinkApart(link)) == Triangles(before) + 12;
      if (!failed && !taken) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(failed || taken) << "the edit never reached the link";
    const std::size_t expected = Triangles(before) + 12;
    const CorvantaAPI::CanonicalScene after = await([&](std::size_t held) { return held == expected; });
    ExpectBoxAdded(before, after, {x, 0, 20}, {x + 1, 1, 21});
    // The failure is told once, and the pass that got through again says
    // so. A failure the pass absorbs tells nothing (a vector's shrink is
    // only a request, which the library drops when it cannot allocate).
    const std::vector<std::string> debug = host.Texts("host.debug");
    if (failed && !debug.empty()) {
      ++stopped;
      EXPECT_EQ(debug, (std::vector<std::string>{"Corvanta: the idle pass stopped: std::bad_alloc\n",
                                                 "Corvanta: the idle pass runs again after 1 failed\n"}));
    } else {
      EXPECT_TRUE(debug.empty()) << debug.front();
    }
    if (::testing::Test::HasFailure() || !failed) break;
  }
  EXPECT_GT(stopped, 3) << "the idle pass made too few allocations to fail";
  EXPECT_TRUE(host.Run("menu 32103"));
}

}  // namespace
