#include "session_env.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/utf.h"
#include "isolation.h"
#include "platform/win32.h"
#include "util/text.h"

namespace addon_test {

const std::string& Root() { return livelink_test::Isolated().root(); }

std::vector<nlohmann::json> Run::Of(const std::string& kind) const {
  std::vector<nlohmann::json> out;
  for (const auto& e : events)
    if (e.is_object() && e.value("kind", "") == kind) out.push_back(e);
  return out;
}

bool Run::Has(const std::string& kind, const nlohmann::json& fields) const {
  for (const auto& e : Of(kind)) {
    bool all = true;
    for (const auto& [field, value] : fields.items()) all = all && e.contains(field) && e[field] == value;
    if (all) return true;
  }
  return false;
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

std::string LoadLine() { return std::string("load ") + CORVANTA_MODULE_PATH + "\n"; }

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
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] == '{') r.events.push_back(nlohmann::json::parse(line, nullptr, false));
  return r;
}

nlohmann::json SettingsValue(const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Torvik\\PluginForArchiCAD", 0, KEY_READ, &key) != 0) return nullptr;
  BYTE data[2048] = {};
  DWORD size = sizeof(data);
  DWORD type = 0;
  const std::u16string wide = base::FromUtf8(name);
  const LSTATUS r = RegQueryValueExW(key, wide.c_str(), nullptr, &type, data, &size);
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
  std::filesystem::remove_all(Root() + "/hkcu/Software/Torvik/PluginForArchiCAD", ec);
}

}  // namespace addon_test
