// The only files the live view serves: its page and script, and three.js
// with its orbit controls as Debian installs them. They are read once when
// the server starts and answered from memory; a request names one of these
// paths exactly or gets 404, so no request ever reaches the file system.
#pragma once

#include <map>
#include <memory>
#include <string>

namespace velmar {

struct WebFile {
  std::string contentType;
  std::shared_ptr<const std::string> body;
};

// The page's folder as built in (the source tree's standins/velmar/web) and
// three.js's installed folder; VELMAR_WEB_DIR and VELMAR_THREE_DIR in the
// environment stand for them.
std::string DefaultWebDir();
std::string DefaultThreeDir();

// Paths ("/", "/live.js", "/three.js", "/OrbitControls.js") to files. False
// with *error naming the missing or unreadable file (with a hint to install
// libjs-three when three.js is the one missing).
bool LoadWebFiles(const std::string& webDir, const std::string& threeDir, std::map<std::string, WebFile>* files,
                  std::string* error);

}  // namespace velmar
