// The user's measurement system, read from the locale environment without
// calling setlocale: a module must never change its host's locale.
#include "platform/win32.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>

namespace platform {
namespace {

const char* NonEmptyEnv(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && v[0] != '\0') ? v : nullptr;
}

}  // namespace

MeasurementSystem UserMeasurementSystem() {
  // The precedence the C library applies when a program calls
  // setlocale(LC_ALL, ""): LC_ALL overrides the category, which overrides LANG.
  const char* name = NonEmptyEnv("LC_ALL");
  if (name == nullptr) name = NonEmptyEnv("LC_MEASUREMENT");
  if (name == nullptr) name = NonEmptyEnv("LANG");
  if (name == nullptr) return MeasurementSystem::Metric;
  // A locale that is not installed leaves the C library at "C", which is metric.
  locale_t loc = newlocale(LC_MEASUREMENT_MASK, name, static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return MeasurementSystem::Metric;
  const char* m = nl_langinfo_l(_NL_MEASUREMENT_MEASUREMENT, loc);
  // The item is a one-byte number: 1 metric, 2 US customary.
  bool us = m != nullptr && m[0] == 2;
  freelocale(loc);
  return us ? MeasurementSystem::US : MeasurementSystem::Metric;
}

}  // namespace platform
