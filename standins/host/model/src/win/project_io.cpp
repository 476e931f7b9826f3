// Project files on Windows: Win32 handles, reads at an offset through an
// OVERLAPPED position (so that several threads read one file at once), and
// a save flushed with FlushFileBuffers. Windows has no counterpart of
// O_DIRECT that takes unaligned text; a save is written the ordinary way.
#include "project_io.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <limits>

#include "base/utf.h"
#include "base/windows_text.h"
#include "win_error.h"

namespace hostmodel::detail {

namespace {

std::wstring Wide(const std::string& utf8) { return base::ToWide(base::FromUtf8(utf8)); }

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

}  // namespace

ProjectInput::ProjectInput(const std::string& path) {
  const HANDLE file =
      ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error_ = WinErrorText(::GetLastError());
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  open_ = true;
  LARGE_INTEGER size{};
  regular_ = ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileSizeEx(file, &size) && size.QuadPart >= 0;
  size_ = regular_ ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

ProjectInput::~ProjectInput() {
  if (open_) ::CloseHandle(Handle(handle_));
}

std::int64_t ProjectInput::ReadAt(std::uint64_t offset, char* buffer, std::size_t length, std::string* error) const {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  if (!::ReadFile(Handle(handle_), buffer, static_cast<DWORD>(std::min(length, kMaxChunk)), &got, &at)) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_HANDLE_EOF) return 0;
    *error = WinErrorText(code);
    return -1;
  }
  return got;
}

// A read at an offset moves a synchronous handle's file pointer too: a
// regular file is read on from where this reading stopped, not from there.
std::int64_t ProjectInput::Read(char* buffer, std::size_t length, std::string* error) {
  if (regular_) {
    const std::int64_t n = ReadAt(position_, buffer, length, error);
    if (n > 0) position_ += static_cast<std::uint64_t>(n);
    return n;
  }
  DWORD got = 0;
  if (!::ReadFile(Handle(handle_), buffer, static_cast<DWORD>(std::min(length, kMaxChunk)), &got, nullptr)) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_HANDLE_EOF || code == ERROR_BROKEN_PIPE) return 0;
    *error = WinErrorText(code);
    return -1;
  }
  return got;
}

struct ProjectOutput::State {
  HANDLE file = INVALID_HANDLE_VALUE;
};

ProjectOutput::ProjectOutput(const std::string& path, bool) {
  const HANDLE file =
      ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error_ = WinErrorText(::GetLastError());
    return;
  }
  state_ = new State{file};
}

ProjectOutput::~ProjectOutput() {
  if (state_ != nullptr) ::CloseHandle(state_->file);
  delete state_;
}

bool ProjectOutput::Write(std::string_view text) {
  if (state_ == nullptr) return false;
  while (!text.empty()) {
    DWORD written = 0;
    if (!::WriteFile(state_->file, text.data(), static_cast<DWORD>(std::min(text.size(), kMaxChunk)), &written,
                     nullptr)) {
      error_ = WinErrorText(::GetLastError());
      return false;
    }
    if (written == 0) {
      error_ = "nothing written";
      return false;
    }
    text.remove_prefix(written);
  }
  return true;
}

bool ProjectOutput::Finish() {
  if (state_ == nullptr) return false;
  DWORD failure = 0;
  if (!::FlushFileBuffers(state_->file)) failure = ::GetLastError();
  if (!::CloseHandle(state_->file) && failure == 0) failure = ::GetLastError();
  delete state_;
  state_ = nullptr;
  if (failure != 0) error_ = WinErrorText(failure);
  return failure == 0;
}

std::string TemporarySibling(const std::string& path) {
  return path + ".tmp" + std::to_string(::GetCurrentProcessId());
}

bool RenameOver(const std::string& from, const std::string& to, std::string* error) {
  if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  *error = WinErrorText(::GetLastError());
  return false;
}

void RemoveFile(const std::string& path) { ::DeleteFileW(Wide(path).c_str()); }

}  // namespace hostmodel::detail
