// Menus and registered palettes: the host side of the UI's table entries.
#include "hostsdk/ui/acapi_ui.h"
#include "impl.h"

namespace host::ui {

namespace {

std::string FlagsText(GSFlags f) {
  std::string s = (f & API_MenuItemDisabled) ? "disabled" : "enabled";
  if (f & API_MenuItemChecked) s += ", ticked";
  return s;
}

// Table entries: plain functions of the signatures in acapi_ui.h.
GSErrCode EntryRegisterMenu(API_HostContext*, short menuResID, short promptResID, std::int32_t code,
                            std::int32_t flags) {
  return Ui::Get().RegisterMenu(menuResID, promptResID, code, flags);
}
GSErrCode EntryInstallMenuHandler(API_HostContext*, short menuResID, APIMenuCommandProc* handler) {
  return Ui::Get().InstallMenuHandler(menuResID, handler);
}
GSErrCode EntryInterface(API_HostContext*, GSType selector, void* p1, void* p2) {
  return Ui::Get().Interface(selector, p1, p2);
}
GSErrCode EntryRegisterModeless(API_HostContext*, std::int32_t refId, APIPaletteControlCallBackProc* cb, GSFlags flags,
                                const char16_t* guid) {
  return Ui::Get().RegisterModelessWindow(refId, cb, flags, guid);
}
GSErrCode EntryUnregisterModeless(API_HostContext*, std::int32_t refId) {
  return Ui::Get().UnregisterModelessWindow(refId);
}

}  // namespace

nlohmann::json MenuJson(const MenuItemState& m) {
  return {{"menu", m.resId},
          {"item", m.itemIndex},
          {"title", Utf8(m.menuTitle)},
          {"text", Utf8(m.text)},
          {"icon", m.icon},
          {"position", m.positionCode},
          {"group", m.group},
          {"enabled", m.Enabled()},
          {"checked", m.Checked()},
          {"prompt", Utf8(m.promptText)},
          {"handler", m.handler != nullptr}};
}

std::vector<std::pair<std::size_t, HostFunction>> Ui::TableEntries() {
  return {{UiFunc_RegisterMenu, reinterpret_cast<HostFunction>(&EntryRegisterMenu)},
          {UiFunc_InstallMenuHandler, reinterpret_cast<HostFunction>(&EntryInstallMenuHandler)},
          {UiFunc_Interface, reinterpret_cast<HostFunction>(&EntryInterface)},
          {UiFunc_RegisterModelessWindow, reinterpret_cast<HostFunction>(&EntryRegisterModeless)},
          {UiFunc_UnregisterModelessWindow, reinterpret_cast<HostFunction>(&EntryUnregisterModeless)}};
}

void Ui::InstallFunctions(API_FunctionTable* table) {
  if (!table) return;
  for (const auto& [index, fn] : TableEntries()) table->entries[index] = fn;
}

GSErrCode Ui::RegisterMenu(short menuResId, short promptResId, std::int32_t code, std::int32_t flags) {
  const resc::ResourceSet* res = Resources(currentModule_);
  if (!res) {
    log_.Add("error", "menu " + std::to_string(menuResId) + ": no add-on resources are open", {{"menu", menuResId}});
    return APIERR_GENERAL;
  }
  auto menu = res->menus.find(menuResId);
  if (menu == res->menus.end()) {
    log_.Add("error", "menu " + std::to_string(menuResId) + ": no such menu resource", {{"menu", menuResId}});
    return APIERR_BADID;
  }
  std::pair<std::u16string, std::u16string> prompt;
  if (promptResId != 0) {
    auto p = res->prompts.find(promptResId);
    if (p == res->prompts.end()) {
      log_.Add("error", "menu " + std::to_string(menuResId) + ": no prompt resource " + std::to_string(promptResId),
               {{"menu", menuResId}, {"prompt", promptResId}});
      return APIERR_BADID;
    }
    prompt = p->second;
  }
  for (const auto& m : menus_)
    if (m.resId == menuResId) return APIERR_REFUSEDCMD;  // registered twice
  // Flag 4 joins the menu an earlier registration with the same title and
  // position opened; otherwise the registration opens a menu of its own.
  int group = 0;
  for (const auto& m : menus_) group = std::max(group, m.group);
  bool joined = false;
  if (flags & MenuFlag_InsertIntoSame) {
    for (auto it = menus_.rbegin(); it != menus_.rend(); ++it)
      if (it->menuTitle == menu->second.title && it->positionCode == code) {
        group = it->group;
        joined = true;
        break;
      }
  }
  if (!joined) ++group;
  int index = 0;
  for (const auto& raw : menu->second.items) {
    MenuItemState item;
    item.resId = menuResId;
    item.itemIndex = ++index;
    item.positionCode = code;
    item.registrationFlags = flags;
    item.group = group;
    item.menuTitle = menu->second.title;
    auto split = resc::SplitMenuItem(raw);
    item.text = split.text;
    item.icon = split.icon;
    item.promptId = promptResId;
    item.promptTitle = prompt.first;
    item.promptText = prompt.second;
    item.module = currentModule_;
    menus_.push_back(item);
    nlohmann::json j = MenuJson(item);
    j["flags"] = flags;
    j["separator"] = (flags & MenuFlag_SeparatorBefore) != 0;
    std::string where = code == MenuCode_Palettes ? "the host's palette menu" : "menu \"" + Utf8(item.menuTitle) + "\"";
    log_.Add("menu.register", "menu item \"" + Utf8(item.text) + "\" (" + std::to_string(menuResId) + ") in " + where,
             j);
  }
  return NoError;
}

GSErrCode Ui::InstallMenuHandler(short menuResId, APIMenuCommandProc* handler) {
  bool found = false;
  for (auto& m : menus_)
    if (m.resId == menuResId) {
      m.handler = handler;
      found = true;
    }
  if (!found) return APIERR_BADID;
  log_.Add("menu.handler", "handler for menu " + std::to_string(menuResId), {{"menu", menuResId}});
  return NoError;
}

GSErrCode Ui::Interface(GSType selector, void* p1, void* p2) {
  if (selector != APIIo_GetMenuItemFlagsID && selector != APIIo_SetMenuItemFlagsID &&
      selector != APIIo_SetMenuItemTextID)
    return APIERR_BADSELECTOR;
  if (!p1 || !p2) return APIERR_BADPARS;
  const auto* ref = static_cast<const API_MenuItemRef*>(p1);
  MenuItemState* item = nullptr;
  bool menuKnown = false;
  for (auto& m : menus_) {
    if (m.resId != ref->menuResID) continue;
    menuKnown = true;
    if (m.itemIndex == ref->itemIndex) item = &m;
  }
  if (!menuKnown) return APIERR_BADID;
  if (!item) return APIERR_BADINDEX;
  if (selector == APIIo_GetMenuItemFlagsID) {
    *static_cast<GSFlags*>(p2) = item->flags;
    return NoError;
  }
  if (selector == APIIo_SetMenuItemFlagsID) {
    // Every write is logged: a change as "menu.flags", a write of what is
    // there already as "menu.flags.unchanged", so that scripts can count
    // redundant writes apart from real changes.
    GSFlags f = *static_cast<const GSFlags*>(p2);
    const bool changed = f != item->flags;
    item->flags = f;
    auto j = MenuJson(*item);
    j["changed"] = changed;
    log_.Add(changed ? "menu.flags" : "menu.flags.unchanged",
             "menu \"" + Utf8(item->text) + "\" (" + std::to_string(item->resId) + ") " + FlagsText(f) +
                 (changed ? "" : " (unchanged)"),
             j);
    return NoError;
  }
  const auto* text = static_cast<const GS::UniString*>(p2);
  auto split = resc::SplitMenuItem(text->ToU16());
  const bool changed = split.text != item->text || (split.icon != 0 && split.icon != item->icon);
  std::string before = Utf8(item->text);
  item->text = split.text;
  if (split.icon != 0) item->icon = split.icon;
  auto j = MenuJson(*item);
  j["before"] = before;
  j["changed"] = changed;
  log_.Add(changed ? "menu.text" : "menu.text.unchanged",
           changed ? "menu \"" + before + "\" now reads \"" + Utf8(item->text) + "\""
                   : "menu \"" + before + "\" written unchanged",
           j);
  return NoError;
}

const MenuItemState* Ui::FindMenu(short resId, int itemIndex) const {
  for (const auto& m : menus_)
    if (m.resId == resId && m.itemIndex == itemIndex) return &m;
  return nullptr;
}

const MenuItemState* Ui::FindMenuByText(const std::u16string& text) const {
  for (const auto& m : menus_)
    if (m.text == text) return &m;
  return nullptr;
}

GSErrCode Ui::ChooseMenu(short resId, int itemIndex, std::string* error) {
  const MenuItemState* item = FindMenu(resId, itemIndex);
  std::string why;
  if (!item) why = "no menu item " + std::to_string(resId) + "/" + std::to_string(itemIndex);
  else if (!item->Enabled()) why = "menu \"" + Utf8(item->text) + "\" is disabled";
  else if (!item->handler) why = "menu \"" + Utf8(item->text) + "\" has no handler";
  if (!why.empty()) {
    if (error) *error = why;
    log_.Add("menu.refused", why, {{"menu", resId}, {"item", itemIndex}, {"reason", why}});
    return APIERR_REFUSEDCMD;
  }
  API_MenuParams params{};
  params.menuItemRef.menuResID = resId;
  params.menuItemRef.itemIndex = itemIndex;
  APIMenuCommandProc* handler = item->handler;
  log_.Add("menu.choose", "chose \"" + Utf8(item->text) + "\"", MenuJson(*item));
  GSErrCode err = handler(&params);  // may register or change menus: item is not used after this
  if (err != NoError)
    log_.Add("menu.result", "menu handler returned " + std::to_string(err), {{"menu", resId}, {"result", err}});
  return err;
}

GSErrCode Ui::RegisterModelessWindow(std::int32_t refId, APIPaletteControlCallBackProc* callback, GSFlags flags,
                                     const char16_t* guid) {
  if (!callback) return APIERR_BADPARS;
  if (palettes_.count(refId)) return APIERR_REFUSEDCMD;
  PaletteRegistration reg;
  reg.refId = refId;
  reg.callback = callback;
  reg.flags = flags;
  // A GUID text is at most 38 units; anything longer is cut, never overread.
  if (guid)
    for (int i = 0; i < 64 && guid[i]; ++i) reg.guid.push_back(guid[i]);
  reg.module = currentModule_;
  palettes_[refId] = reg;
  log_.Add("palette.register", "palette " + std::to_string(refId) + " registered",
           {{"ref", refId}, {"flags", flags}, {"guid", Utf8(reg.guid)}});
  return NoError;
}

GSErrCode Ui::UnregisterModelessWindow(std::int32_t refId) {
  if (!palettes_.erase(refId)) return APIERR_BADID;
  log_.Add("palette.unregister", "palette " + std::to_string(refId) + " unregistered", {{"ref", refId}});
  return NoError;
}

GSErrCode Ui::SendPaletteControl(std::int32_t refId, API_PaletteMessageID message, bool* visible, std::string* error) {
  auto it = palettes_.find(refId);
  if (it == palettes_.end()) {
    if (error) *error = "no palette registered with reference " + std::to_string(refId);
    return APIERR_BADID;
  }
  if (message < APIPalMsg_ClosePalette || message > APIPalMsg_IsPaletteVisible) {
    if (error) *error = "unknown palette message " + std::to_string(message);
    return APIERR_BADPARS;
  }
  bool answer = false;
  std::intptr_t param = message == APIPalMsg_IsPaletteVisible ? reinterpret_cast<std::intptr_t>(&answer) : 0;
  log_.Add("palette.control", "palette " + std::to_string(refId) + " control message " + std::to_string(message),
           {{"ref", refId}, {"message", message}});
  GSErrCode err = it->second.callback(refId, message, param);
  if (message == APIPalMsg_IsPaletteVisible) {
    if (visible) *visible = answer;
    log_.Add("palette.visible", std::string("palette reports ") + (answer ? "visible" : "hidden"),
             {{"ref", refId}, {"visible", answer}});
  }
  return err;
}

}  // namespace host::ui
