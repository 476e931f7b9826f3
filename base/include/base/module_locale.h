// A C library locale (newlocale) owned by this module: made once at first
// use and freed when the module is unloaded. A module the host unloads and
// loads again must not leave a locale behind at each load. POSIX only: on
// Windows the callers use the system's own locale-independent calls.
//
// Threads: get() may be called from any thread; the object must outlive
// every use, which a function-local static does for the module's code.
// Failure: get() is null when the locale cannot be made.
#pragma once

#ifndef _WIN32
#include <locale.h>

namespace base {

class ModuleLocale {
 public:
  ModuleLocale(int categoryMask, const char* name)
      : handle_(newlocale(categoryMask, name, static_cast<locale_t>(nullptr))) {}
  ~ModuleLocale() {
    if (handle_ != static_cast<locale_t>(nullptr)) freelocale(handle_);
  }
  ModuleLocale(const ModuleLocale&) = delete;
  ModuleLocale& operator=(const ModuleLocale&) = delete;

  [[nodiscard]] locale_t get() const { return handle_; }

 private:
  locale_t handle_;
};

}  // namespace base
#endif
