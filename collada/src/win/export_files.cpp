// The export's file-system steps on Win32 calls. Paths arrive as UTF-8 and
// reach the "W" functions as UTF-16; "/" and "\" both separate (the Win32
// file calls take either).
#include "../export_files.h"

#include <cstdint>
#include <random>

#include "base/utf.h"
#include "base/windows_text.h"

namespace collada::files {
namespace {

std::wstring Wide(const std::string& path) { return base::ToWide(base::FromUtf8(path)); }

SystemError LastError() { return static_cast<SystemError>(::GetLastError()); }

// The attributes a replaced document hands on to its successor; read-only
// never comes with them (such a document is not replaced), and the others
// (compressed, encrypted, sparse, ...) belong to how a file is stored.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Everything below path made writable and removed, depth first: a replaced
// image the user had made read-only would otherwise keep the staging
// folder alive.
void RemoveBelow(const std::wstring& path) {
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = path + L"\\" + name;
    const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (folder) {
      RemoveBelow(child);
      ::RemoveDirectoryW(child.c_str());
    } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      ::RemoveDirectoryW(child.c_str());  // a link to a folder: the link goes, not what it names
    } else {
      ::DeleteFileW(child.c_str());
    }
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

}  // namespace

std::string ErrorText(SystemError err) {
  wchar_t* text = nullptr;
  const DWORD n =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(err), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string message;
  if (n > 0 && text != nullptr) message.assign(base::SystemText(text), n);
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() &&
         (message.back() == u'\n' || message.back() == u'\r' || message.back() == u' ' || message.back() == u'.')) {
    message.pop_back();
  }
  if (message.empty()) return "system error " + std::to_string(err);
  return base::ToUtf8(message);
}

SystemError NoFileNameError() { return ERROR_INVALID_NAME; }
SystemError IsAFolderError() { return ERROR_ACCESS_DENIED; }
SystemError NotAFolderError() { return ERROR_DIRECTORY; }
SystemError NotOpenError() { return ERROR_INVALID_HANDLE; }
SystemError NameTakenError() { return ERROR_FILE_EXISTS; }
SystemError ShortWriteError() { return ERROR_WRITE_FAULT; }

Kind KindOf(const std::string& path, bool follow, SystemError* err) {
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD e = ::GetLastError();
    *err = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? 0 : static_cast<SystemError>(e);
    return Kind::Missing;
  }
  *err = 0;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Kind::File;
  // A link to a folder is a folder only when links are followed.
  if (!follow && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Kind::File;
  return Kind::Folder;
}

Keep KeepOf(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return {};
  return Keep{true, attributes};
}

// MoveFileExW refuses to replace a read-only file (ERROR_ACCESS_DENIED):
// found before the document is written, not after.
bool CanBeReplaced(const Keep& keep, SystemError* err) {
  if (!keep.exists || (keep.bits & FILE_ATTRIBUTE_READONLY) == 0) return true;
  *err = ERROR_ACCESS_DENIED;
  return false;
}

bool NewFile::Create(const std::string& path, SystemError* err) {
  Close(nullptr);
  // Hidden while it is written (the name starts with "." for the same
  // reason on Linux); others may read it but not write it meanwhile.
  HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = ::GetLastError();
    *err = e == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : static_cast<SystemError>(e);
    return false;
  }
  handle_ = h;
  keep_ = {};
  return true;
}

bool NewFile::IsOpen() const { return handle_ != nullptr; }

void NewFile::Apply(const Keep& keep) { keep_ = keep; }

bool NewFile::Write(const char* data, std::size_t size, SystemError* err) {
  while (size > 0) {
    const DWORD chunk = size > (DWORD{1} << 30) ? (DWORD{1} << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(static_cast<HANDLE>(handle_), data, chunk, &written, nullptr)) {
      *err = LastError();
      return false;
    }
    if (written == 0) {
      *err = ERROR_WRITE_FAULT;
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

// Windows has no call that starts the write-back of a range without waiting
// for it: everything waits for Flush.
void NewFile::HandOver(std::uint64_t, std::uint64_t) {}

bool NewFile::Flush(SystemError* err) {
  if (::FlushFileBuffers(static_cast<HANDLE>(handle_))) return true;
  *err = LastError();
  return false;
}

bool NewFile::Close(SystemError* err) {
  if (handle_ == nullptr) return true;
  // The finished document shows as the one it replaces did (or as a new
  // file does), no longer hidden.
  FILE_BASIC_INFO basic{};
  basic.FileAttributes =
      keep_.exists && (keep_.bits & kKeptAttributes) != 0 ? (keep_.bits & kKeptAttributes) : FILE_ATTRIBUTE_NORMAL;
  ::SetFileInformationByHandle(static_cast<HANDLE>(handle_), FileBasicInfo, &basic, sizeof basic);
  const BOOL ok = ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  if (ok) return true;
  if (err != nullptr) *err = LastError();
  return false;
}

bool Move(const std::string& from, const std::string& to, SystemError* err) {
  if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  *err = LastError();
  return false;
}

bool MakeUniqueFolder(std::string& pattern, SystemError* err) {
  const std::size_t at = pattern.rfind("XXXXXX");
  if (at == std::string::npos || at + 6 != pattern.size()) {
    *err = ERROR_INVALID_PARAMETER;
    return false;
  }
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device entropy;
  std::mt19937_64 rng((static_cast<std::uint64_t>(entropy()) << 32) ^ entropy() ^ ::GetCurrentProcessId());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = pattern;
    for (std::size_t i = 0; i < 6; ++i) candidate[at + i] = kLetters[rng() % (sizeof kLetters - 1)];
    const std::wstring wide = Wide(candidate);
    if (::CreateDirectoryW(wide.c_str(), nullptr)) {
      ::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_HIDDEN);
      pattern = candidate;
      return true;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      *err = LastError();
      return false;
    }
  }
  *err = ERROR_ALREADY_EXISTS;
  return false;
}

bool MakeFolder(const std::string& path, SystemError* err) {
  if (::CreateDirectoryW(Wide(path).c_str(), nullptr)) return true;
  *err = LastError();
  return false;
}

void MakeEmptyFile(const std::string& path) {
  HANDLE h =
      ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
}

void RemoveFile(const std::string& path) { ::DeleteFileW(Wide(path).c_str()); }

void RemoveTree(const std::string& path) {
  const std::wstring wide = Wide(path);
  RemoveBelow(wide);
  ::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::RemoveDirectoryW(wide.c_str());
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW((Wide(folder) + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(base::ToUtf8(base::FromWide(name)));
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return names;
}

}  // namespace collada::files
