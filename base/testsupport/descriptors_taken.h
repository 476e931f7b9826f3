// All but `free` of this process's file descriptors taken, as a flood of
// connections to a renderer takes them: the soft limit lowered to what is
// open (and a few more), and filled up to it. Given back on destruction.
// Linux only (/proc/self/fd).
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

namespace testsupport {

class DescriptorsTaken {
 public:
  explicit DescriptorsTaken(int free) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    int open = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++open;
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(open + 8);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken_.push_back(fd);
    for (int i = 0; i < free && !taken_.empty(); ++i) {
      ::close(taken_.back());
      taken_.pop_back();
    }
  }
  ~DescriptorsTaken() {
    for (int fd : taken_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  DescriptorsTaken(const DescriptorsTaken&) = delete;
  DescriptorsTaken& operator=(const DescriptorsTaken&) = delete;

 private:
  rlimit saved_{};
  std::vector<int> taken_;
};

}  // namespace testsupport
