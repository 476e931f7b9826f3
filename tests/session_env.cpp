#include "session_env.h"

#include <sys/wait.h>

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
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

constexpr char16_t kSettingsKey[] = u"Software\\Torvik\\PluginForArchiCAD";

}  // namespace

const std::string& Root() { return livelink_test::Isolated().root(); }

std::vector<nlohmann::json> Run::Of(const std::string& kind) const {
  std::vector<nlohmann::json> out;
  for (const auto& e : events)
    if (e.is_object() && e.value("kind", "") == kind) out.push_back(e);
  return out;
}

std::vector<nlohmann::json> Run::Of(const std::string& kind, const std::string& field,
                                    const nlohmann::json& value) const {
  std::vector<nlohmann::json> out;
  for (const auto& e : Of(kind))
    if (e.contains(field) && e[field] == value) out.push_back(e);
  return out;
}

std::string LoadLine() { return std::string("load ") + CORVANTA_MODULE_PATH + "\n"; }

Run RunModule(const std::string& name, const std::string& script) {
  const std::string base = Root() + "/" + name;
  std::ofstream(base + ".hs") << LoadLine() << script;
  ::setenv("CORV_URL_OPENER", "/bin/true", 1);
  const std::string cmd = std::string("'") + HOSTSIM_PATH + "' --no-launch --json '" + base + ".jsonl' run '" +
                          base + ".hs' > '" + base + ".out' 2>&1";
  Run r;
  const int rc = std::system(cmd.c_str());
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.output = ReadAll(base + ".out");
  std::istringstream lines(ReadAll(base + ".jsonl"));
  std::string line;
  while (std::getline(lines, line))
    if (!line.empty()) r.events.push_back(nlohmann::json::parse(line, nullptr, false));
  return r;
}

nlohmann::json SettingsValue(const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != 0) return nullptr;
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
