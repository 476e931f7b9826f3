#include "renderer/web_links.h"

#include "base/utf.h"
#include "hostsdk/acapi.h"
#include "hostsdk/requests.h"
#include "hostsdk/ui/win32ui.h"
#include "util/text.h"

namespace renderer {
namespace {

// "ArchiCAD <version>" from the host's application record; empty when the
// host cannot say.
std::u16string HostLabel() {
  API_ApplicationInfo info{};
  if (ACAPI_Environment(APIEnv_ApplicationID, &info) != NoError) return {};
  info.version[sizeof(info.version) - 1] = '\0';
  const std::u16string version = base::FromUtf8(info.version);
  return util::FormatString(u"ArchiCAD %s", version.c_str());
}

const std::u16string& Query() {
  static const std::u16string query = BuildLinkQuery(HostLabel());
  return query;
}

std::u16string Link(std::u16string& cache, const char16_t* path) {
  if (cache.empty()) cache = util::FormatString(std::u16string(kVendorSite) + path + u"%s", Query().c_str());
  return cache;
}

std::u16string g_home, g_latest, g_help, g_rendererPage;

}  // namespace

std::u16string BuildLinkQuery(const std::u16string& hostLabel) {
  return util::FormatString(u"?utm_source=%s&utm_medium=%s&utm_campaign=%s", util::PercentEncode(hostLabel).c_str(),
                            util::PercentEncode(kAddonVersion).c_str(),
                            util::PercentEncode(u"ArchiCAD Corvanta").c_str());
}

std::u16string GetHomePageLink() { return Link(g_home, u""); }
std::u16string GetLatestVersionLink() { return Link(g_latest, u"/archicad-exporters.html"); }
std::u16string GetHelpLink() { return Link(g_help, u"/support.html"); }
std::u16string GetRendererPageLink() { return Link(g_rendererPage, u"/free-trial.html"); }

bool OpenWebPage(const std::u16string& address) {
  if (address.empty()) return false;
  const HINSTANCE r = ShellExecuteW(nullptr, nullptr, address.c_str(), nullptr, nullptr, SW_SHOW);
  return reinterpret_cast<std::intptr_t>(r) > 32;
}

}  // namespace renderer
