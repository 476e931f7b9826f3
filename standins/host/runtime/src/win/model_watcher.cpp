// The model file's watch on Windows: a change notification on its folder
// (writes and names: a save that renames a new file over the old one ends a
// watch on the file itself), and the file's write time and size to tell its
// own changes from its neighbours'.
#include <filesystem>

#include "base/utf.h"
#include "base/windows_text.h"
#include "watcher.h"

namespace host {
namespace {

// The file's last write time and size; false when it cannot be read (being
// replaced, say).
bool Stamp(const std::string& path, std::uint64_t* write, std::uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  const std::wstring wide = base::ToWide(base::FromUtf8(path));
  if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return false;
  *write = (std::uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
  *size = (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

std::string LastError() { return "error " + std::to_string(GetLastError()); }

}  // namespace

ModelWatcher::~ModelWatcher() {
  if (change_ != nullptr) FindCloseChangeNotification(static_cast<HANDLE>(change_));
}

hostmodel::Status ModelWatcher::Open(const std::string& path) {
  const std::filesystem::path p =
      std::filesystem::absolute(std::filesystem::path(base::ToWide(base::FromUtf8(path)))).lexically_normal();
  const std::wstring folder = p.parent_path().wstring();
  HANDLE change = FindFirstChangeNotificationW(
      folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE);
  if (change == INVALID_HANDLE_VALUE)
    return hostmodel::Status::Fail(path + ": cannot watch its folder: " + LastError());
  change_ = change;
  path_ = base::ToUtf8(base::FromWide(p.wstring()));
  name_ = base::ToUtf8(base::FromWide(p.filename().wstring()));
  Stamp(path_, &lastWrite_, &lastSize_);
  return hostmodel::Status::Ok();
}

bool ModelWatcher::Drain() {
  if (change_ == nullptr) return false;
  bool folderChanged = false;
  while (WaitForSingleObject(static_cast<HANDLE>(change_), 0) == WAIT_OBJECT_0) {
    folderChanged = true;
    if (!FindNextChangeNotification(static_cast<HANDLE>(change_))) break;
  }
  if (!folderChanged) return false;
  std::uint64_t write = 0, size = 0;
  if (!Stamp(path_, &write, &size)) return false;  // read again when it is back
  if (write == lastWrite_ && size == lastSize_) return false;
  lastWrite_ = write;
  lastSize_ = size;
  return true;
}

}  // namespace host
