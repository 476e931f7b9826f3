// Watches one file for new content: writes that end (close after writing)
// and files renamed over it, as editors and exporters save.
#pragma once

#include <cstdint>
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
  // A descriptor that becomes readable when the folder changes (Linux), or
  // -1 (Windows: Drain is asked at each turn of the idle loop).
  int Fd() const { return fd_; }
  // Reads what arrived without blocking; true when the file got new content.
  bool Drain();

 private:
  int fd_ = -1;
#ifdef _WIN32
  void* change_ = nullptr;       // the folder's change notification
  std::uint64_t lastWrite_ = 0;  // the file's write time and size
  std::uint64_t lastSize_ = 0;   //   when it was last seen
#endif
  std::string path_;
  std::string name_;
};

}  // namespace host
