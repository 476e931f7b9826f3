// Resource access for the add-on (RS*), host alerts, and icons.
#include <cstring>

#include "base/utf.h"
#include "impl.h"

using host::ui::I;
using host::ui::U;

GSResModule RSInitModuleCache(const void* addressInModule) {
  std::string error;
  GSResModule m = U().OpenModuleAt(addressInModule, &error);
  if (!m) U().log().Add("error", "resources: " + error, {{"reason", error}});
  return m;
}

void RSExitModuleCache(GSResModule module) { U().CloseModuleResources(module); }

bool RSGetIndString(std::u16string* out, short resId, short index, GSResModule module) {
  const auto* res = U().Resources(module);
  if (!out || !res) return false;
  auto it = res->strings.find(resId);
  if (it == res->strings.end() || index < 1 || index > static_cast<short>(it->second.size())) return false;
  *out = it->second[static_cast<std::size_t>(index - 1)];
  return true;
}

bool RSGetModuleIdentity(GSResModule module, std::uint32_t* developerId, std::uint32_t* localId) {
  const auto* res = U().Resources(module);
  if (!res || !res->identity) return false;
  if (developerId) *developerId = res->identity->developerId;
  if (localId) *localId = res->identity->localId;
  return true;
}

short DGResAlert(GSResModule module, short resId, const char* param1, const char* param2, const char* param3) {
  const auto* res = U().Resources(module);
  auto it = res ? res->alerts.find(resId) : decltype(res->alerts.end()){};
  if (!res || it == res->alerts.end()) {
    U().log().Add("error", "alert " + std::to_string(resId) + ": no such alert resource", {{"res", resId}});
    return 0;
  }
  const resc::Alert& a = it->second;
  // "%s" takes the next parameter (UTF-8), "%%" is a percent sign; a "%s"
  // without a parameter reads as empty.
  const char* params[3] = {param1, param2, param3};
  int next = 0;
  std::u16string message;
  for (std::size_t i = 0; i < a.message.size(); ++i) {
    if (a.message[i] == u'%' && i + 1 < a.message.size()) {
      if (a.message[i + 1] == u's') {
        if (next < 3 && params[next])
          message += base::FromUtf8(std::string_view(params[next], strnlen(params[next], 65536)));
        ++next;
        ++i;
        continue;
      }
      if (a.message[i + 1] == u'%') {
        message.push_back(u'%');
        ++i;
        continue;
      }
    }
    message.push_back(a.message[i]);
  }
  host::ui::AlertRequest req{resId, a.title, message, a.buttons};
  nlohmann::json buttons = nlohmann::json::array();
  for (const auto& b : a.buttons) buttons.push_back(host::ui::Utf8(b));
  U().log().Add("alert.show", "alert \"" + host::ui::Utf8(a.title) + "\": " + host::ui::Utf8(message),
                {{"res", resId},
                 {"title", host::ui::Utf8(a.title)},
                 {"message", host::ui::Utf8(message)},
                 {"buttons", buttons},
                 {"icon", a.icon}});
  int button = U().answerer() ? U().answerer()->Alert(req) : 0;
  if (button < 1 || button > static_cast<int>(a.buttons.size())) {
    // Unanswered: the last button is the one that commits to nothing.
    // An answerer that had nothing to say has reported that already.
    bool reported = button == 0 && U().answerer();
    U().log().Add(
        reported ? "fallback" : "error",
        "alert " + std::to_string(resId) + ": no usable answer, pressing \"" + host::ui::Utf8(a.buttons.back()) + "\"",
        {{"res", resId}, {"answer", button}});
    button = static_cast<int>(a.buttons.size());
  }
  U().log().Add("alert.answer", "alert answered \"" + host::ui::Utf8(a.buttons[button - 1]) + "\"",
                {{"res", resId}, {"button", button}, {"buttonText", host::ui::Utf8(a.buttons[button - 1])}});
  return static_cast<short>(button);
}
