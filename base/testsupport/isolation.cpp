#include "isolation.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace livelink_test {

Isolation::Isolation() {
  char pattern[] = "/tmp/livelink-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  for (const char* sub : {"/hkcu", "/hklm", "/run"}) {
    const std::string dir = root_ + sub;
    if (::mkdir(dir.c_str(), 0700) != 0) throw std::runtime_error("mkdir " + dir + " failed");
  }
  ::setenv("CORV_REGISTRY_HKCU", (root_ + "/hkcu").c_str(), 1);
  ::setenv("CORV_REGISTRY_HKLM", (root_ + "/hklm").c_str(), 1);
  ::setenv("CORV_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
  // A child that died must fail a write, not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
}

Isolation::~Isolation() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

const Isolation& Isolated() {
  static const Isolation isolation;
  return isolation;
}

// Runs before main: the environment must be in place before any platform
// call, including those made from static initialisers of test files.
[[maybe_unused]] static const Isolation& kEarly = Isolated();

std::u16string UniqueName(const char* stem) {
  static std::atomic<int> counter{0};
  char text[160];
  std::snprintf(text, sizeof text, "C:\\Links\\%s-%d-%d.dae", stem, static_cast<int>(::getpid()),
                counter.fetch_add(1));
  std::u16string name;
  for (const char* p = text; *p != 0; ++p) name.push_back(static_cast<char16_t>(*p));
  return name;
}

}  // namespace livelink_test
