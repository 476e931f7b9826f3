#include "watcher.h"

#include <filesystem>

#include "host/host.h"
#include "hostmodel/import.h"

namespace host {

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
