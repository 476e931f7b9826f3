// The loop's sleep on Linux: poll on the window's message socket, a pipe
// the SIGINT/SIGTERM handler writes to, and the live view's report pipe.
#include "loop_wait.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace velmar {
namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

class PollWait final : public LoopWait {
 public:
  PollWait(HWND window, int liveReportFd)
      : fds_{{platform::PublishedWindowFd(window), POLLIN, 0},
             {g_signalPipe[0], POLLIN, 0},
             {liveReportFd, POLLIN, 0}} {}

  unsigned Wait(int timeoutMs, std::string* error) override {
    const int ready = ::poll(fds_, 3, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) return 0;
      *error = "poll failed";
      return kEnd;
    }
    unsigned bits = 0;
    if (fds_[1].revents & POLLIN) bits |= kEnd;
    if (fds_[0].revents & POLLIN) bits |= kMessages;
    if (fds_[2].revents & POLLIN) bits |= kLiveReports;
    return bits;
  }

 private:
  pollfd fds_[3];
};

}  // namespace

std::unique_ptr<LoopWait> LoopWait::Create(HWND window, int liveReportFd, std::string* error) {
  // One pipe for the process: a second session reuses it.
  if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = "cannot make the signal pipe";
    return nullptr;
  }
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0) {
    *error = "cannot install the signal handlers";
    return nullptr;
  }
  return std::make_unique<PollWait>(window, liveReportFd);
}

}  // namespace velmar
