// The renderer check at the start of a link, with its two alerts.
#include "base/utf.h"
#include "hostsdk/ui/dg.h"
#include "hostsdk/ui/rs.h"
#include "renderer/renderer.h"
#include "renderer/web_links.h"
#include "util/text.h"

namespace renderer {
namespace {

// The alerts live in the module's resources; this opens them for the
// duration of one question (the host keeps them loaded anyway).
short AskAlert(short alertId) {
  static const int anchor = 0;
  const GSResModule res = RSInitModuleCache(&anchor);
  const std::string required = base::ToUtf8(kRequiredVersion);
  const short answer = DGResAlert(res, alertId, required.c_str(), nullptr, nullptr);
  if (res != 0) RSExitModuleCache(res);
  return answer;
}

}  // namespace

bool CheckRenderer() {
  const std::u16string running = GetRunningRendererVersion(true);
  if (CompareVersions(running, kRequiredVersion) >= 0) return true;
  const std::u16string installed = GetInstalledRendererVersion();
  if (CompareVersions(installed, kRequiredVersion) < 0) {
    if (AskAlert(32201) == 1) OpenWebPage(GetRendererPageLink());
    return false;
  }
  if (AskAlert(32202) == 1) LaunchRenderer(installed);
  return true;
}

}  // namespace renderer
