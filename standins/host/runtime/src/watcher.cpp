#include "watcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host/host.h"
#include "hostmodel/import.h"

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

// ---- Host's side -------------------------------------------------------------------------

Status Host::WatchModelFile(const std::string& path) {
  if (!hasProject_) return Status::Fail("no project is open");
  const std::string target = path.empty() ? modelFilePath_ : path;
  if (target.empty()) return Status::Fail("the project did not come from a model file; name the file to watch");
  if (!std::filesystem::exists(target)) return Status::Fail(target + ": no such file");
  auto watcher = std::make_unique<ModelWatcher>();
  if (Status opened = watcher->Open(target); !opened) return opened;
  watcher_ = std::move(watcher);
  Log("watch", "watching " + watcher_->Path());
  return Status::Ok();
}

void Host::StopWatching() {
  if (watcher_) Log("watch", "stopped watching " + watcher_->Path());
  watcher_.reset();
}

bool Host::IsWatching() const { return watcher_ != nullptr; }

int Host::WatchFd() const { return watcher_ ? watcher_->Fd() : -1; }

bool Host::ProcessEvents() {
  // Inside a call into an add-on the notifications wait for its end.
  if (callDepth_ == 0) FlushDeferred();
  if (!watcher_ || !watcher_->Drain()) return false;
  Result<hostmodel::ChangeSet> changes = ReloadModelFile();
  return changes.ok() && !changes.value().Empty();
}

Result<hostmodel::ChangeSet> Host::ReloadModelFile() {
  if (!watcher_) return Result<hostmodel::ChangeSet>::Fail("no model file is watched");
  const std::string path = watcher_->Path();
  Result<hostmodel::Project> loaded = hostmodel::LoadAnyFile(path);
  if (!loaded) {
    Log("watch", "kept the model: " + loaded.error());
    return Result<hostmodel::ChangeSet>::Fail(loaded.error());
  }
  hostmodel::ChangeSet changes;
  const Status applied = ApplyEdit(
      "reload " + path,
      [&](hostmodel::Project& project) {
        hostmodel::ChangeSet set = hostmodel::ApplyReload(project, std::move(loaded).value());
        const std::string problem = hostmodel::Validate(project);
        if (!problem.empty()) return Result<hostmodel::ChangeSet>::Fail(path + ": " + problem);
        return Result<hostmodel::ChangeSet>::Ok(set);
      },
      &changes);
  if (!applied) return Result<hostmodel::ChangeSet>::Fail(applied.error());
  if (!changes.Empty()) SendProjectEvent(APINotify_ChangeProjectDB, 0);
  return Result<hostmodel::ChangeSet>::Ok(changes);
}

}  // namespace host
