// SIGXFSZ held back on the writing thread (collada/output_file.h).
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include "collada/output_file.h"

namespace collada {

FileSizeSignalGuard::FileSizeSignalGuard() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGXFSZ);
  sigset_t pending;
  sigemptyset(&pending);
  active_ = pthread_sigmask(SIG_BLOCK, &set_, &old_) == 0;
  if (active_ && sigpending(&pending) == 0) wasPending_ = sigismember(&pending, SIGXFSZ) == 1;
}

FileSizeSignalGuard::~FileSizeSignalGuard() {
  if (!active_) return;
  if (!wasPending_) {
    timespec zero{0, 0};
    while (sigtimedwait(&set_, nullptr, &zero) == SIGXFSZ) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

}  // namespace collada
