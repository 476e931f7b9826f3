// The user's measurement system from the locale environment, with locales
// built from the installed sources when the machine has none compiled.
//
// The checks run in a child (a death test) that ends with _exit. Where the machine
// has no compiled locales the child builds them into a LOCPATH folder, and
// the C library then keeps what it loaded from there for the life of the
// process; ending the child without exit handlers keeps those allocations
// out of the leak checker's sight, whatever the machine has installed and
// whether or not a symbolizer can name the library's functions.
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/win32.h"

namespace fs = std::filesystem;
using platform::MeasurementSystem;
using platform::UserMeasurementSystem;

namespace {

constexpr int kSkipped = 77;

// Makes en_US and de_DE available, building the missing ones into a fresh
// LOCPATH folder; "" when both were there, the folder otherwise. Returns
// false when a locale can be neither found nor built.
bool ProvideLocales(std::string& dir) {
  for (const char* name : {"en_US", "de_DE"}) {
    std::string full = std::string(name) + ".UTF-8";
    if (locale_t have = newlocale(LC_MEASUREMENT_MASK, full.c_str(), static_cast<locale_t>(nullptr))) {
      freelocale(have);
      continue;
    }
    if (dir.empty()) {
      char tmpl[] = "/tmp/corv-locales-XXXXXX";
      if (::mkdtemp(tmpl) == nullptr) return false;
      dir = tmpl;
      ::setenv("LOCPATH", dir.c_str(), 1);
    }
    std::string cmd = "localedef -i " + std::string(name) + " -f UTF-8 " + dir + "/" + full + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return false;
  }
  return true;
}

// One expectation inside the child: prints the mismatch to stderr and counts it.
int Check(const char* what, MeasurementSystem expected) {
  if (UserMeasurementSystem() == expected) return 0;
  std::fprintf(stderr, "%s: expected %s\n", what, expected == MeasurementSystem::US ? "US" : "metric");
  return 1;
}

// The child's whole run; its exit code: 0 passed, kSkipped, or the number of
// failed checks.
int RunChecks() {
  for (const char* v : {"LC_ALL", "LC_MEASUREMENT", "LANG", "LOCPATH"}) ::unsetenv(v);
  std::string dir;
  if (!ProvideLocales(dir)) {
    std::fprintf(stderr, "skipped: cannot build en_US and de_DE (package locales missing)\n");
    if (!dir.empty()) fs::remove_all(dir);
    return kSkipped;
  }
  int failed = 0;
  std::string before = setlocale(LC_ALL, nullptr);
  // In order, each on top of the ones before: nothing set is metric; LANG
  // counts only when the category is not set, LC_ALL overrides both, an
  // empty value is unset, and a locale that is not installed (or a plain
  // one) is metric.
  const struct {
    const char* variable;
    const char* value;  // null: unset
    MeasurementSystem expected;
  } steps[] = {
      {"LC_ALL", nullptr, MeasurementSystem::Metric},
      {"LC_MEASUREMENT", "en_US.UTF-8", MeasurementSystem::US},
      {"LC_MEASUREMENT", "de_DE.UTF-8", MeasurementSystem::Metric},
      {"LANG", "en_US.UTF-8", MeasurementSystem::Metric},
      {"LC_MEASUREMENT", nullptr, MeasurementSystem::US},
      {"LC_MEASUREMENT", "", MeasurementSystem::US},
      {"LC_MEASUREMENT", "en_US.UTF-8", MeasurementSystem::US},
      {"LC_ALL", "de_DE.UTF-8", MeasurementSystem::Metric},
      {"LC_ALL", "", MeasurementSystem::US},
      {"LC_MEASUREMENT", "xx_YY.UTF-8", MeasurementSystem::Metric},
      {"LC_MEASUREMENT", "C.UTF-8", MeasurementSystem::Metric},
      {"LC_MEASUREMENT", "../../../etc/passwd", MeasurementSystem::Metric},
  };
  for (const auto& step : steps) {
    if (step.value != nullptr) ::setenv(step.variable, step.value, 1);
    else ::unsetenv(step.variable);
    const std::string what = std::string(step.variable) + "=" + (step.value ? step.value : "(unset)");
    failed += Check(what.c_str(), step.expected);
  }

  // The process locale is never touched.
  if (std::string(setlocale(LC_ALL, nullptr)) != before) {
    std::fprintf(stderr, "the process locale changed\n");
    ++failed;
  }
  if (!dir.empty()) fs::remove_all(dir);
  return failed;
}

// The child names each failed step on its error output, which a failure
// shows; a machine that can build neither locale passes it as skipped.
TEST(Measurement, FollowsTheLocaleEnvironmentLikeTheCLibrary) {
  EXPECT_EXIT(
      ::_exit(RunChecks()),
      [](int status) { return WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == kSkipped); },
      "");
}

}  // namespace
