#include "session_env.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <thread>

#include "base/utf.h"
#include "hostsdk/loader.h"
#include "isolation.h"
#include "livelink/live_connection.h"
#include "platform/win32.h"
#include "util/text.h"

// The add-on's entry points: the tests that run its controller in process
// play the module themselves.
API_AddonType CheckEnvironment(API_EnvirParams*) { return API_AddonType{}; }
GSErrCode RegisterInterface() { return 0; }
GSErrCode Initialize() { return 0; }
GSErrCode FreeData() { return 0; }

namespace system_test {

const std::string& Root() { return livelink_test::Isolated().root(); }

std::vector<json> Run::Of(const std::string& kind) const {
  std::vector<json> out;
  for (const auto& e : events)
    if (e.is_object() && e.value("kind", "") == kind) out.push_back(e);
  return out;
}

int Run::Count(const std::string& kind, const json& fields) const {
  return int(std::count_if(events.begin(), events.end(), [&](const json& e) {
    if (!e.is_object() || e.value("kind", "") != kind) return false;
    for (const auto& [field, value] : fields.items())
      if (!e.contains(field) || e[field] != value) return false;
    return true;
  }));
}

Run Run::After(const std::string& signal) const {
  Run rest = *this;
  rest.events.clear();
  bool seen = false;
  for (const auto& e : events) {
    if (seen) rest.events.push_back(e);
    seen = seen || (e.is_object() && e.value("kind", "") == "signal" && e.value("name", "") == signal);
  }
  return rest;
}

namespace {
void Parse(Run& r, std::istream& lines) {
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] == '{') r.events.push_back(json::parse(line, nullptr, false));
}
fs::path SignalDir() { return fs::path(std::getenv("CORV_RUNTIME_DIR")) / "hostsim-signals"; }
}  // namespace

Run ReadLog(const std::string& path) {
  Run r;
  std::ifstream in(path);
  Parse(r, in);
  return r;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string LoadLine() { return std::string("load ") + CORVANTA_MODULE_PATH + "\n"; }

void ExpectEveryLineHeld(const Run& r) {
  EXPECT_EQ(r.status, 0);
  std::string part;
  for (const auto& e : r.events) {
    const std::string kind = e.value("kind", "");
    if (kind == "echo") part = e.value("text", "");
    if (kind == "expect.failed" || kind == "error") ADD_FAILURE() << part << ": " << e.dump();
  }
}

std::string SavedProject(const std::string& name) { return "sample\nsaveas " + Root() + "/" + name + ".pln\n"; }

Run RunModule(const std::string& name, const std::string& script, unsigned long fileSizeLimit) {
  const std::string file = Root() + "/" + name + ".hs";
  std::ofstream(file) << LoadLine() << script;
  ::setenv("CORV_URL_OPENER", "/bin/true", 1);
  Run r;
  int out[2];
  if (::pipe(out) != 0) return r;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const rlimit limit{fileSizeLimit, fileSizeLimit};
    if (fileSizeLimit != 0 && ::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(120);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(HOSTSIM_PATH, HOSTSIM_PATH, "--no-launch", "--quiet", "--json", "-", "run", file.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  char buffer[65536];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    r.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
  std::istringstream lines(r.output);
  Parse(r, lines);
  return r;
}

namespace {
std::string Row(const std::string& what, std::initializer_list<int> ids, std::string_view states) {
  std::string lines;
  for (std::size_t i = 0; i < states.size(); ++i)
    if (states[i] != '.')
      lines +=
          "expect " + what + " " + std::to_string(ids.begin()[i]) + (states[i] == '+' ? " enabled\n" : " disabled\n");
  return lines;
}
}  // namespace

std::string Menus(std::string_view states) {
  return Row("menu", {32101, 32102, 32103, 32104, 32105, 32106, 32107, 32100}, states);
}
std::string Palette(std::string_view states) { return Row("palette", {1, 2, 3, 4, 5, 6, 7, 8}, states); }
std::string Icons(int link, int status, int camera) {
  std::string lines;
  for (auto [item, icon] : {std::pair{2, link}, {4, status}, {5, camera}})
    if (icon != 0) lines += "expect palette " + std::to_string(item) + " icon " + std::to_string(icon) + "\n";
  return lines;
}

void Raise(const std::string& name) {
  fs::create_directories(SignalDir());
  const fs::path tmp = SignalDir() / ("." + name + ".tmp");
  std::ofstream(tmp) << "1";
  fs::rename(tmp, SignalDir() / name);
}

bool Awaited(const std::string& name, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (std::error_code ec; std::chrono::steady_clock::now() < end;) {
    if (fs::remove(SignalDir() / name, ec)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool AwaitRegistered(const std::u16string& name, bool wanted) {
  const auto registered = [&] {
    const auto names = CorvantaAPI::LiveConnection().EnumConnections(0);
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (int i = 0; i < 2000 && registered() != wanted; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return registered() == wanted;
}

CorvantaAPI::CanonicalScene ReadLink(const std::u16string& name) {
  CorvantaAPI::LiveConnection guest;
  if (guest.Open(name) != 0) {
    ADD_FAILURE() << "the link does not open";
    return {};
  }
  CorvantaAPI::CanonicalScene scene = CorvantaAPI::ReadCanonicalScene(guest);
  for (const auto& problem : scene.problems) ADD_FAILURE() << problem;
  guest.Close();
  return scene;
}

void ExpectBoxAdded(const CorvantaAPI::CanonicalScene& before, const CorvantaAPI::CanonicalScene& after,
                    const std::array<float, 3>& lo, const std::array<float, 3>& hi) {
  std::vector<CorvantaAPI::CanonicalTriangle> added, gone;
  auto less = [](const auto& x, const auto& y) { return std::memcmp(&x, &y, sizeof x) < 0; };
  ASSERT_EQ(before.surfaces.size(), after.surfaces.size());
  for (std::size_t i = 0; i < before.surfaces.size(); ++i) {
    const auto &b = before.surfaces[i].triangles, &a = after.surfaces[i].triangles;
    EXPECT_TRUE(CorvantaAPI::SameMaterial(before.surfaces[i].material, after.surfaces[i].material));
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(added), less);
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(gone), less);
  }
  EXPECT_TRUE(gone.empty()) << gone.size() << " triangles gone";
  EXPECT_EQ(added.size(), 12u);
  const std::array<int, 3> axis{0, 2, 1};  // link axis i holds host axis axis[i]
  for (const auto& triangle : added)
    for (const auto& corner : triangle)
      for (int i = 0; i < 3; ++i) {
        EXPECT_GE(corner.position[i], lo[axis[i]] - 1e-4f) << "a corner off the box";
        EXPECT_LE(corner.position[i], hi[axis[i]] + 1e-4f) << "a corner off the box";
      }
}

json SettingsValue(const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Torvik\\PluginForArchiCAD", 0, KEY_READ, &key) != 0) return nullptr;
  BYTE data[2048] = {};
  DWORD size = sizeof(data), type = 0;
  const LSTATUS r = RegQueryValueExW(key, base::FromUtf8(name).c_str(), nullptr, &type, data, &size);
  RegCloseKey(key);
  if (r != 0) return nullptr;
  if (type == REG_DWORD && size == 4) {
    DWORD v = 0;
    std::memcpy(&v, data, 4);
    return v;
  }
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), data, text.size() * 2);
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return base::ToUtf8(text);
}

void ForgetSettings() {
  std::error_code ec;
  fs::remove_all(Root() + "/hkcu/Software/Torvik/PluginForArchiCAD", ec);
}

}  // namespace system_test
