#include "base/exception_text.h"

#include <exception>

namespace base {

const char* CurrentExceptionText() noexcept {
  // Rethrowing with no exception in flight would end the process.
  if (!std::current_exception()) return "no exception";
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception of unknown type";
  }
}

}  // namespace base
