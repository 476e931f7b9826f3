#include "live_files.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace velmar {

namespace {

bool ReadWhole(const std::string& path, std::string* text) {
  std::error_code failed;
  const auto size = std::filesystem::file_size(path, failed);
  if (failed) return false;
  std::ifstream in(path, std::ios::binary);
  std::string bytes(size, '\0');
  if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(size))) return false;
  *text = std::move(bytes);
  return true;
}

std::string FromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

std::string DefaultWebDir() { return FromEnvironment("VELMAR_WEB_DIR", VELMAR_WEB_SOURCE_DIR); }
std::string DefaultThreeDir() { return FromEnvironment("VELMAR_THREE_DIR", "/usr/share/javascript/three"); }

bool LoadWebFiles(const std::string& webDir, const std::string& threeDir, std::map<std::string, WebFile>* files,
                  std::string* error) {
  struct Entry {
    const char* path;
    std::string file;
    const char* type;
    bool three;
  };
  const Entry entries[] = {
      {"/", webDir + "/index.html", "text/html; charset=utf-8", false},
      {"/live.js", webDir + "/live.js", "text/javascript; charset=utf-8", false},
      {"/three.js", threeDir + "/three.min.js", "text/javascript; charset=utf-8", true},
      {"/OrbitControls.js", threeDir + "/examples/js/controls/OrbitControls.js", "text/javascript; charset=utf-8",
       true},
  };
  std::map<std::string, WebFile> loaded;
  for (const Entry& entry : entries) {
    std::string body;
    if (!ReadWhole(entry.file, &body)) {
      *error = "cannot read " + entry.file +
               (entry.three ? " (three.js comes from Debian's libjs-three package)" : " (the live page's files)");
      return false;
    }
    loaded[entry.path] = {entry.type, std::make_shared<const std::string>(std::move(body))};
  }
  *files = std::move(loaded);
  return true;
}

}  // namespace velmar
