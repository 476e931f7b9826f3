// Where the settings are kept on Linux: the registry emulation's store file
// of the key (docs/registry.md), under $CORV_REGISTRY_HKCU, else
// $XDG_CONFIG_HOME/corvanta/registry, else the home folder's
// .config/corvanta/registry.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "base/utf.h"
#include "context/plugin_settings.h"

namespace context {

std::u16string PluginSettings::StoreFile() const {
  // The current user's store root, as the store chooses it.
  auto env = [](const char* name) -> std::string {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
  };
  std::string root = env("CORV_REGISTRY_HKCU");
  if (root.empty()) {
    std::string base = env("XDG_CONFIG_HOME");
    if (base.empty() || base[0] != '/') {
      std::string home = env("HOME");
      if (home.empty()) {
        if (const struct passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) home = pw->pw_dir;
      }
      if (home.empty()) return {};
      base = home + "/.config";
    }
    root = base + "/corvanta/registry";
  }
  // The key's names are plain letters, which the store keeps as they are.
  std::u16string key = keyPath_;
  std::replace(key.begin(), key.end(), u'\\', u'/');
  return base::FromUtf8(root) + u"/" + key + u"/.values.json";
}

}  // namespace context
