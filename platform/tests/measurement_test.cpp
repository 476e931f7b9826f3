// The user's measurement system from the locale environment, with locales
// built from the installed sources when the machine has none compiled.
//
// The checks run in a death-test child that ends with _exit. Where the
// machine has no compiled locales the child builds them into a LOCPATH
// folder, and
// the C library then keeps what it loaded from there for the life of the
// process; ending the child without exit handlers keeps those allocations
// out of the leak checker's sight, whatever the machine has installed and
// whether or not a symbolizer can name the library's functions.
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/wait.h>

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

// The child's whole run, in order, each step on top of the ones before:
// LANG counts only when the category is not set, LC_ALL overrides both, an
// empty value is unset, and a locale that is not installed (or a plain one)
// is metric. Mismatches go to stderr; the exit code is 0 when all held,
// kSkipped, or the number of mismatches.
int RunChecks() {
  for (const char* v : {"LC_ALL", "LC_MEASUREMENT", "LANG", "LOCPATH"}) ::unsetenv(v);
  std::string dir;
  if (!ProvideLocales(dir)) {
    if (!dir.empty()) fs::remove_all(dir);
    return kSkipped;
  }
  const std::string before = setlocale(LC_ALL, nullptr);
  constexpr auto US = MeasurementSystem::US, Metric = MeasurementSystem::Metric;
  const struct {
    const char* variable;
    const char* value;  // null: unset
    MeasurementSystem expected;
  } steps[] = {{"LANG", nullptr, Metric},  // nothing set
               {"LC_MEASUREMENT", "en_US.UTF-8", US},   {"LC_MEASUREMENT", "de_DE.UTF-8", Metric},
               {"LANG", "en_US.UTF-8", Metric},         {"LC_MEASUREMENT", nullptr, US},
               {"LC_MEASUREMENT", "", US},              {"LC_MEASUREMENT", "en_US.UTF-8", US},
               {"LC_ALL", "de_DE.UTF-8", Metric},       {"LC_ALL", "", US},
               {"LC_MEASUREMENT", "xx_YY.UTF-8", Metric}, {"LC_MEASUREMENT", "C.UTF-8", Metric},
               {"LC_MEASUREMENT", "../../../etc/passwd", Metric}};
  int failed = 0;
  for (const auto& step : steps) {
    if (step.value != nullptr) ::setenv(step.variable, step.value, 1);
    else ::unsetenv(step.variable);
    if (UserMeasurementSystem() == step.expected) continue;
    std::fprintf(stderr, "%s=%s: expected %s\n", step.variable, step.value ? step.value : "(unset)",
                 step.expected == US ? "US" : "metric");
    ++failed;
  }
  if (std::string(setlocale(LC_ALL, nullptr)) != before) {  // the process locale is never touched
    std::fprintf(stderr, "the process locale changed\n");
    ++failed;
  }
  if (!dir.empty()) fs::remove_all(dir);
  return failed;
}

TEST(Measurement, FollowsTheLocaleEnvironmentLikeTheCLibrary) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  int code = -1;
  EXPECT_EXIT(::_exit(RunChecks()),
              [&code](int status) {
                code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return code == 0 || code == kSkipped;
              },
              "");
  if (code == kSkipped) GTEST_SKIP() << "cannot build en_US and de_DE (package locales missing)";
}

}  // namespace
