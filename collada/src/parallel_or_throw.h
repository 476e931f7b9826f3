// The export's parallel stages on the base loop (which the thread sanitizer
// can follow), with exceptions carried out of the loop: the base loop's
// bodies must not throw, but a stage that runs out of memory must end the
// export with an error, as it does on the calling thread.
#pragma once

#include <cstddef>
#include <exception>
#include <mutex>

#include "base/parallel_for.h"

namespace collada {

// fn(i) for every i < count, in parallel; the first exception a body threw
// is thrown again here once every body has run.
template <typename Fn>
void ParallelOrThrow(std::size_t count, const Fn& fn) {
  std::mutex lock;
  std::exception_ptr failure;
  base::ParallelFor(count, [&](std::size_t i) {
    try {
      fn(i);
    } catch (...) {
      std::lock_guard<std::mutex> guard(lock);
      if (!failure) failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
}

}  // namespace collada
