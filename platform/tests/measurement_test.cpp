// The user's measurement system from the locale environment, with locales
// built from the installed sources when the machine has none compiled.
#include <gtest/gtest.h>
#include <locale.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/win32.h"

namespace fs = std::filesystem;
using platform::MeasurementSystem;
using platform::UserMeasurementSystem;

// The C library keeps the file names of locales it loaded through LOCPATH
// for the life of the process, which the leak checker reports; they are not
// ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:argz_add_sep\n"; }

namespace {

class Measurement : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"LC_ALL", "LC_MEASUREMENT", "LANG"}) ::unsetenv(v);
    for (const char* name : {"en_US", "de_DE"}) {
      std::string full = std::string(name) + ".UTF-8";
      if (locale_t have = newlocale(LC_MEASUREMENT_MASK, full.c_str(), static_cast<locale_t>(nullptr))) {
        freelocale(have);
        continue;
      }
      if (dir_.empty()) {
        char tmpl[] = "/tmp/corv-locales-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ::setenv("LOCPATH", dir_.c_str(), 1);
      }
      std::string cmd = "localedef -i " + std::string(name) + " -f UTF-8 " + dir_ + "/" + full + " >/dev/null 2>&1";
      if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "cannot build locale " << full << " (package locales missing)";
    }
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  std::string dir_;
};

TEST_F(Measurement, FollowsTheLocaleEnvironmentLikeTheCLibrary) {
  std::string before = setlocale(LC_ALL, nullptr);
  EXPECT_EQ(UserMeasurementSystem(), MeasurementSystem::Metric);  // nothing set

  ::setenv("LC_MEASUREMENT", "en_US.UTF-8", 1);
  EXPECT_EQ(UserMeasurementSystem(), MeasurementSystem::US);
  ::setenv("LC_MEASUREMENT", "de_DE.UTF-8", 1);
  EXPECT_EQ(UserMeasurementSystem(), MeasurementSystem::Metric);

  // LANG counts only when the category is not set.
  ::setenv("LANG", "en_US.UTF-8", 1);
  EXPECT_EQ(UserMeasurementSystem(), MeasurementSystem::Metric);
  ::unsetenv("LC_MEASUREMENT");
  EXPECT_EQ(UserMeasurementSystem(), MeasurementSystem::US);
  ::setenv("LC_MEASUREMENT", "", 1);  // empty is unset
  EXPECT_EQ(UserMeasurementSystem(), MeasurementSystem::US);

  // LC_ALL overrides both.
  ::setenv("LC_MEASUREMENT", "en_US.UTF-8", 1);
  ::setenv("LC_ALL", "de_DE.UTF-8", 1);
  EXPECT_EQ(UserMeasurementSystem(), MeasurementSystem::Metric);
  ::setenv("LC_ALL", "", 1);
  EXPECT_EQ(UserMeasurementSystem(), MeasurementSystem::US);

  // A locale that is not installed, and the plain ones, are metric.
  ::setenv("LC_MEASUREMENT", "xx_YY.UTF-8", 1);
  EXPECT_EQ(UserMeasurementSystem(), MeasurementSystem::Metric);
  ::setenv("LC_MEASUREMENT", "C.UTF-8", 1);
  EXPECT_EQ(UserMeasurementSystem(), MeasurementSystem::Metric);
  ::setenv("LC_MEASUREMENT", "../../../etc/passwd", 1);
  EXPECT_EQ(UserMeasurementSystem(), MeasurementSystem::Metric);

  // The process locale is never touched.
  EXPECT_EQ(std::string(setlocale(LC_ALL, nullptr)), before);
}

}  // namespace
