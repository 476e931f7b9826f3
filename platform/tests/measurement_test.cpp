// The user's measurement system from the locale environment, with locales
// built from the installed sources when the machine has none compiled.
//
// The checks run in a forked child that ends with _exit. Where the machine
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

// One expectation inside the child: prints the mismatch to stderr, which the
// parent shows, and counts it.
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
    if (!dir.empty()) fs::remove_all(dir);
    return kSkipped;
  }
  int failed = 0;
  std::string before = setlocale(LC_ALL, nullptr);
  failed += Check("nothing set", MeasurementSystem::Metric);
  // In order, each on top of the ones before: LANG counts only when the
  // category is not set, LC_ALL overrides both, an empty value is unset, and
  // a locale that is not installed (or a plain one) is metric.
  const struct {
    const char* variable;
    const char* value;  // null: unset
    MeasurementSystem expected;
  } steps[] = {
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

TEST(Measurement, FollowsTheLocaleEnvironmentLikeTheCLibrary) {
  int err[2];
  ASSERT_EQ(::pipe(err), 0);
  std::fflush(nullptr);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(err[1], STDERR_FILENO);
    ::close(err[0]);
    ::close(err[1]);
    int rc = RunChecks();
    std::fflush(stderr);
    ::_exit(rc);
  }
  ::close(err[1]);
  std::string messages;
  char buf[512];
  for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) != 0;) {
    if (n < 0) break;
    messages.append(buf, static_cast<size_t>(n));
  }
  ::close(err[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the checking child died: " << messages;
  if (WEXITSTATUS(status) == kSkipped) GTEST_SKIP() << "cannot build en_US and de_DE (package locales missing)";
  EXPECT_EQ(WEXITSTATUS(status), 0) << messages;
}

}  // namespace
