// Watches one file for new content: writes that end (close after writing)
// and files renamed over it, as editors and exporters save.
#pragma once

#include <string>

#include "hostmodel/result.h"

namespace host {

class ModelWatcher {
 public:
  ModelWatcher() = default;
  ~ModelWatcher();
  ModelWatcher(const ModelWatcher&) = delete;
  ModelWatcher& operator=(const ModelWatcher&) = delete;

  // Fails (with the reason) when the file's folder cannot be watched.
  hostmodel::Status Open(const std::string& path);
  const std::string& Path() const { return path_; }
  int Fd() const { return fd_; }
  // Reads what arrived without blocking; true when the file got new content.
  bool Drain();

 private:
  int fd_ = -1;
  std::string path_;
  std::string name_;
};

}  // namespace host
