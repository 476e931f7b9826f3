// Process enumeration and inspection from /proc.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "base/utf.h"
#include "handle_table.h"
#include "platform/proc_stat.h"
#include "platform/win32.h"
#include "utf16.h"

namespace {

struct ProcessObject final : platform::detail::KernelObject {
  DWORD pid = 0;
  std::u16string imagePath;
};

// The target of /proc/PID/exe; errno set on failure.
bool ReadExe(DWORD pid, std::string* path) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    const ssize_t n = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) < buffer.size()) {
      path->assign(buffer.data(), static_cast<std::size_t>(n));
      return true;
    }
    if (buffer.size() >= 16 * PATH_MAX) {
      errno = ENAMETOOLONG;
      return false;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

BOOL K32EnumProcesses(DWORD* processIds, DWORD bytes, DWORD* bytesReturned) {
  if (!bytesReturned || (!processIds && bytes != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DIR* dir = ::opendir("/proc");
  if (!dir) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::vector<DWORD> ids;
  while (dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (*name == '\0' ||
        !std::all_of(name, name + std::char_traits<char>::length(name), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    const unsigned long pid = std::strtoul(name, nullptr, 10);
    if (pid > 0 && pid <= 0xFFFFFFFFul) ids.push_back(static_cast<DWORD>(pid));
  }
  ::closedir(dir);
  std::sort(ids.begin(), ids.end());
  const std::size_t room = bytes / sizeof(DWORD);
  const std::size_t count = std::min(room, ids.size());
  std::copy_n(ids.begin(), count, processIds);
  *bytesReturned = static_cast<DWORD>(count * sizeof(DWORD));
  return TRUE;
}

HANDLE OpenProcess(DWORD access, BOOL /*inherit*/, DWORD processId) {
  if (processId == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (access == 0 || (access & ~(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_QUERY_INFORMATION)) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  platform::detail::ProcStat before;
  if (!platform::detail::ReadProcStat(processId, &before)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string path;
  if (!ReadExe(processId, &path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  // The id may have passed to a new process while we read the link.
  platform::detail::ProcStat after;
  if (!platform::detail::ReadProcStat(processId, &after) || after.startTime != before.startTime) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto object = std::make_shared<ProcessObject>();
  object->pid = processId;
  object->imagePath = base::FromUtf8(path);
  HANDLE handle = platform::detail::InsertHandle(std::move(object));
  if (handle) SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL QueryFullProcessImageNameW(HANDLE process, DWORD flags, LPWSTR buffer, DWORD* chars) {
  if (!buffer || !chars || (flags & ~PROCESS_NAME_NATIVE) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto object = platform::detail::LookupHandleAs<ProcessObject>(process);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const std::u16string& path = object->imagePath;
  if (static_cast<std::uint64_t>(*chars) < path.size() + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::copy(path.begin(), path.end(), buffer);
  buffer[path.size()] = u'\0';
  *chars = static_cast<DWORD>(path.size());
  return TRUE;
}
