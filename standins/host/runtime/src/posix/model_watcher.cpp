// The model file's watch on Linux: inotify on its folder.
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "watcher.h"

namespace host {

ModelWatcher::~ModelWatcher() {
  if (fd_ >= 0) close(fd_);
}

hostmodel::Status ModelWatcher::Open(const std::string& path) {
  const std::filesystem::path p = std::filesystem::absolute(path).lexically_normal();
  const std::string folder = p.parent_path().string();
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return hostmodel::Status::Fail(path + ": cannot watch: " + std::strerror(errno));
  // The folder, not the file: a save that replaces the file by renaming
  // would end a watch on the file itself.
  if (inotify_add_watch(fd_, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    const int err = errno;
    close(fd_);
    fd_ = -1;
    return hostmodel::Status::Fail(path + ": cannot watch its folder: " + std::strerror(err));
  }
  path_ = p.string();
  name_ = p.filename().string();
  return hostmodel::Status::Ok();
}

bool ModelWatcher::Drain() {
  if (fd_ < 0) return false;
  bool changed = false;
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t n = read(fd_, buffer, sizeof(buffer));
    if (n <= 0) break;  // EAGAIN: nothing more; errors end the drain too
    std::size_t offset = 0;
    while (offset + sizeof(inotify_event) <= static_cast<std::size_t>(n)) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      const std::size_t size = sizeof(inotify_event) + event->len;
      if (offset + size > static_cast<std::size_t>(n)) break;
      if (event->len > 0 && name_ == std::string(event->name, strnlen(event->name, event->len))) changed = true;
      offset += size;
    }
  }
  return changed;
}

}  // namespace host
