#include "signals.h"

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/win32.h"

namespace hostsim {

namespace fs = std::filesystem;

namespace {

fs::path Folder() {
  const std::string root = platform::RuntimeDirectory();
  if (root.empty()) return {};
  return fs::path(root) / "hostsim-signals";
}

}  // namespace

bool ValidSignalName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  for (char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool RaiseSignal(const std::string& name, std::string* error) {
  if (!ValidSignalName(name)) {
    *error = "signal name \"" + name + "\": letters, digits, '.', '_' and '-' only";
    return false;
  }
  const fs::path folder = Folder();
  std::error_code ec;
  if (folder.empty() || (fs::create_directories(folder, ec), ec)) {
    *error = "cannot make the signal folder " + folder.string() + (ec ? ": " + ec.message() : "");
    return false;
  }
  const fs::path temp = folder / ("." + name + "." + std::to_string(GetCurrentProcessId()));
  {
    std::ofstream out(temp, std::ios::trunc);
    out << GetCurrentProcessId() << "\n";
    if (!out.flush()) {
      *error = "cannot write " + temp.string();
      fs::remove(temp, ec);
      return false;
    }
  }
  fs::rename(temp, folder / name, ec);
  if (ec) {
    *error = "cannot raise signal " + name + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

bool AwaitSignal(const std::string& name, std::chrono::milliseconds timeout, const std::function<void()>& idle,
                 std::string* error) {
  if (!ValidSignalName(name)) {
    *error = "signal name \"" + name + "\": letters, digits, '.', '_' and '-' only";
    return false;
  }
  const fs::path folder = Folder();
  if (folder.empty()) {
    *error = "no runtime directory for signals";
    return false;
  }
  const fs::path file = folder / name;
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    // Taking the signal down is the test: of two waiters only one wins.
    std::error_code ec;
    if (fs::remove(file, ec)) return true;
    if (ec) {
      *error = "cannot take signal " + name + ": " + ec.message();
      return false;
    }
    if (std::chrono::steady_clock::now() >= end) {
      *error = "signal " + name + " did not come within " + std::to_string(timeout.count()) + " ms";
      return false;
    }
    if (idle) idle();
    std::this_thread::sleep_for(kIdlePeriod);
  }
}

}  // namespace hostsim
