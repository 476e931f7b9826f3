#include "collada/output_file.h"

#include <cstdio>
#include <cstring>
#include <random>

#include "export_files.h"
#include "path_parts.h"

namespace collada {
namespace {

constexpr std::size_t kBufferSize = 1 << 20;
// Written bytes are handed to the disk in batches of this size while the
// document goes on, so that the flush before the rename waits only for the
// last of them.
constexpr std::size_t kWritebackBatch = std::size_t{16} << 20;

}  // namespace

OutputFile::OutputFile() = default;
OutputFile::~OutputFile() { Abandon(); }

bool OutputFile::Open(const std::string& destination) {
  Abandon();
  error_.clear();
  destination_ = destination;
  if (destination.empty() || IsPathSeparator(destination.back())) {
    Fail("no file name in the destination", files::NoFileNameError());
    return false;
  }
  files::SystemError err = 0;
  if (files::KindOf(destination, true, &err) == files::Kind::Folder) {
    Fail("the destination is a folder", files::IsAFolderError());
    return false;
  }
  const files::Keep keep = files::KeepOf(destination);
  if (!files::CanBeReplaced(keep, &err)) {
    Fail("the existing file cannot be replaced", err);
    return false;
  }
  // Hidden, unique, and in the same folder: the rename is atomic only within
  // one file system.
  const std::string folder = FolderOf(destination);
  const std::string stem = folder + (IsPathSeparator(folder.back()) ? "." : "/.") + NameOf(destination) + ".";
  std::random_device entropy;
  std::mt19937_64 rng((static_cast<std::uint64_t>(entropy()) << 32) ^ entropy() ^
                      reinterpret_cast<std::uintptr_t>(this));
  auto file = std::make_unique<files::NewFile>();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "%012llx.tmp", static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFull));
    const std::string candidate = stem + suffix;
    if (file->Create(candidate, &err)) {
      file_ = std::move(file);
      tempPath_ = candidate;
      // A replaced document keeps its permissions (its attributes on
      // Windows).
      file_->Apply(keep);
      buffer_.resize(kBufferSize);
      used_ = 0;
      written_ = handedOver_ = 0;
      return true;
    }
    if (err != files::NameTakenError()) {
      Fail("cannot create a file in " + folder, err);
      return false;
    }
  }
  Fail("cannot create a temporary file in " + folder, files::NameTakenError());
  return false;
}

void OutputFile::Fail(const std::string& what, unsigned long err) {
  if (!error_.empty()) return;
  // Texts name no path: whoever reports them names the document.
  const std::string reason = files::ErrorText(err);
  error_ = what.empty() ? reason : what + ": " + reason;
}

void OutputFile::WriteAll(const char* data, std::size_t size) {
  if (!file_ || Failed()) return;
  FileSizeSignalGuard guard;
  files::SystemError err = 0;
  if (!file_->Write(data, size, &err)) {
    Fail("", err);
    return;
  }
  written_ += size;
  if (written_ - handedOver_ >= kWritebackBatch) {
    file_->HandOver(handedOver_, written_ - handedOver_);
    handedOver_ = written_;
  }
}

void OutputFile::Flush() {
  if (used_ > 0) WriteAll(buffer_.data(), used_);
  used_ = 0;
}

void OutputFile::Write(std::string_view bytes) {
  if (!file_ || Failed()) return;
  if (bytes.size() > buffer_.size() - used_) {
    Flush();
    // Big array texts go to the file without a copy.
    if (bytes.size() >= buffer_.size() / 2) {
      WriteAll(bytes.data(), bytes.size());
      return;
    }
  }
  std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
  used_ += bytes.size();
}

char* OutputFile::Reserve(std::size_t n) {
  if (buffer_.size() - used_ < n) Flush();
  if (buffer_.size() < n) buffer_.resize(n);
  return buffer_.data() + used_;
}

bool OutputFile::Commit() { return Finish() && Replace(); }

bool OutputFile::Finish() {
  if (!file_) {
    if (error_.empty()) Fail("no file is open", files::NotOpenError());
    return false;
  }
  Flush();
  files::SystemError err = 0;
  if (!Failed() && !file_->Flush(&err)) Fail("the document cannot be flushed to the disk", err);
  if (!file_->Close(&err)) Fail("the document cannot be closed", err);
  file_.reset();
  if (Failed()) {
    files::RemoveFile(tempPath_);
    tempPath_.clear();
    return false;
  }
  finished_ = true;
  return true;
}

bool OutputFile::Replace() {
  if (!finished_ || Failed()) {
    if (error_.empty()) Fail("the document is not complete", files::NotOpenError());
    Abandon();
    return false;
  }
  finished_ = false;
  files::SystemError err = 0;
  if (!files::Move(tempPath_, destination_, &err)) {
    Fail("the existing file cannot be replaced", err);
    files::RemoveFile(tempPath_);
    tempPath_.clear();
    return false;
  }
  tempPath_.clear();
  return true;
}

void OutputFile::Abandon() {
  finished_ = false;
  file_.reset();
  if (!tempPath_.empty()) {
    files::RemoveFile(tempPath_);
    tempPath_.clear();
  }
  buffer_.clear();
  buffer_.shrink_to_fit();
  used_ = 0;
}

}  // namespace collada
