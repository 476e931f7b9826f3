#include "ui_env.h"

#include "test_temp_dir.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace uitest {

namespace {
struct Env {
  testsupport::TempDir temp{"corv-uitest"};
  std::string dir = temp.path().string();
  Env() {
    for (const char* sub : {"hkcu", "hklm", "run"}) std::filesystem::create_directories(dir + "/" + sub);
    // Before any platform call: children inherit these.
    setenv("CORV_REGISTRY_HKCU", (dir + "/hkcu").c_str(), 1);
    setenv("CORV_REGISTRY_HKLM", (dir + "/hklm").c_str(), 1);
    setenv("CORV_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    setenv("HOSTSIM_HISTORY", (dir + "/history").c_str(), 1);
    setenv("CORV_URL_OPENER", "/bin/true", 1);
  }
};
Env& TheEnv() {
  static Env env;
  return env;
}
// Set up before main so that no platform call precedes it.
[[maybe_unused]] const bool kReady = (TheEnv(), true);

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

const std::string& TempDir() { return TheEnv().dir; }

std::vector<nlohmann::json> Run::Of(const std::string& kind) const {
  std::vector<nlohmann::json> out;
  for (const auto& e : events)
    if (e.value("kind", "") == kind) out.push_back(e);
  return out;
}

Run RunHostsim(const std::string& name, const std::string& script) {
  const std::string base = TempDir() + "/" + name;
  { std::ofstream(base + ".hs") << script; }
  std::remove((base + ".journal").c_str());
  setenv("CORV_UIADDON_JOURNAL", (base + ".journal").c_str(), 1);
  std::string cmd = std::string("'") + CORV_HOSTSIM_PATH + "' --no-launch --json '" + base + ".jsonl' run '" + base +
                    ".hs' > '" + base + ".out' 2>&1";
  Run r;
  int rc = std::system(cmd.c_str());
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.output = ReadAll(base + ".out");
  std::istringstream lines(ReadAll(base + ".jsonl"));
  std::string line;
  while (std::getline(lines, line))
    if (!line.empty()) r.events.push_back(nlohmann::json::parse(line, nullptr, false));
  std::istringstream journal(ReadAll(base + ".journal"));
  while (std::getline(journal, line)) r.journal.push_back(line);
  return r;
}

}  // namespace uitest
