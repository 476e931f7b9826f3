// A fresh folder for one test, removed with everything in it afterwards,
// even what a test left read-only.
#pragma once

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

class TempDir {
 public:
  // stem names the folder's owner in /tmp ("<stem>-<pid>-XXXXXX"). Throws
  // std::runtime_error when no folder can be made.
  explicit TempDir(const std::string& stem = "corv-test") {
#ifdef _WIN32
    // No mkdtemp: the first free "<stem>-<pid>-<n>"; create_directory is
    // atomic and says whether it made the folder.
    static int counter = 0;
    for (int attempt = 0;; ++attempt) {
      path_ = std::filesystem::temp_directory_path() /
              (stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
      std::error_code ec;
      if (std::filesystem::create_directory(path_, ec)) break;
      if (ec || attempt > 1000) throw std::runtime_error("no temporary folder for " + stem);
    }
#else
    std::string pattern =
        (std::filesystem::temp_directory_path() / (stem + "-" + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
#endif
  }
  ~TempDir() {
    std::error_code ec;
    const auto all = std::filesystem::perms::owner_all;
    for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ec))
      std::filesystem::permissions(entry.path(), all, std::filesystem::perm_options::add, ec);
    std::filesystem::permissions(path_, all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of name inside the folder.
  std::string File(const std::string& name) const { return Utf8(path_ / std::filesystem::u8path(name)); }
  std::string operator/(const std::string& name) const { return File(name); }
  // Writes content to name (its folders made first); the file's path.
  std::string Write(const std::string& name, const std::string& content) const {
    const std::string file = File(name);
    std::filesystem::create_directories(std::filesystem::u8path(file).parent_path());
    std::ofstream(std::filesystem::u8path(file), std::ios::binary) << content;
    return file;
  }
  // Names of the folder's entries (not recursive), sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator(path_, ec)) names.push_back(Utf8(entry.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  // UTF-8 on both platforms (string() is the ANSI code page on Windows).
  static std::string Utf8(const std::filesystem::path& path) {
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
  }
  std::filesystem::path path_;
};

}  // namespace testsupport
