// The dialog library: dialogs built from resources, their items, the
// messages the host sends, and the user's actions on them.
#include <cmath>

#include "impl.h"

namespace host::ui {

namespace {
std::string Id(const DialogState& d) {
  return d.resId ? "dialog " + std::to_string(d.resId) : "dialog #" + std::to_string(d.id);
}

bool Clickable(resc::ItemKind k) {
  using K = resc::ItemKind;
  return k == K::Button || k == K::IconButton || k == K::Link || k == K::Picture || k == K::Icon || k == K::Text ||
         k == K::Check;
}
}  // namespace

nlohmann::json DialogJson(const DialogState& d) {
  nlohmann::json items = nlohmann::json::array();
  for (const auto& it : d.items) {
    nlohmann::json j = {{"item", it.id},         {"kind", std::string(resc::ItemKindName(it.kind))},
                        {"text", Utf8(it.text)}, {"enabled", it.enabled},
                        {"visible", it.visible}, {"icon", it.icon}};
    if (it.kind == resc::ItemKind::Check) j["value"] = it.value;
    if (it.kind == resc::ItemKind::RealEdit) {
      j["real"] = it.real;
      j["min"] = it.min;
      j["max"] = it.max;
    }
    if (it.kind == resc::ItemKind::Popup) {
      nlohmann::json entries = nlohmann::json::array();
      for (const auto& e : it.popup)
        entries.push_back(e.separator ? nlohmann::json{{"separator", true}}
                                      : nlohmann::json{{"text", Utf8(e.text)}, {"icon", e.icon}});
      j["entries"] = entries;
      j["selected"] = it.selected;
    }
    if (!it.tooltip.empty()) j["tooltip"] = Utf8(it.tooltip);
    if (!it.anchor.empty()) j["anchor"] = Utf8(it.anchor);
    items.push_back(j);
  }
  return {{"dialog", d.id},         {"res", d.resId},       {"type", DialogKindName(d.kind)},
          {"title", Utf8(d.title)}, {"visible", d.visible}, {"smallIcon", d.smallIcon},
          {"items", items}};
}

DialogState* Ui::Impl::FindDialog(short dialId) {
  auto it = dialogs.find(dialId);
  return it == dialogs.end() ? nullptr : &it->second;
}

ItemState* Ui::Impl::FindItem(short dialId, short item) {
  DialogState* d = FindDialog(dialId);
  if (!d || item < 1 || item > static_cast<short>(d->items.size())) return nullptr;
  return &d->items[item - 1];
}

void Ui::Impl::LogItem(const DialogState& d, const ItemState& item, const std::string& what, nlohmann::json extra) {
  extra["dialog"] = d.id;
  extra["res"] = d.resId;
  extra["item"] = item.id;
  extra["what"] = what;
  std::string text = Id(d) + " item " + std::to_string(item.id) + " " + what;
  if (extra.contains("value"))
    text += " " + extra["value"].dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  ui.log().Add("dialog.item", text, extra);
}

short Ui::Impl::SendToDialog(short dialId, short message, short item, DGMessageData data) {
  DialogState* d = FindDialog(dialId);
  if (!d || !d->callback) return 0;
  // Copied: the callback may create or close dialogs, which moves the map.
  DGDialCallBack cb = d->callback;
  DGUserData ud = d->userData;
  return cb(message, dialId, item, ud, data);
}

void Ui::Impl::CloseDialog(short dialId, short item) {
  DialogState* d = FindDialog(dialId);
  if (!d || !d->open) return;
  d->open = false;  // a DGModelessClose from inside the close message is ignored
  SendToDialog(dialId, DG_MSG_CLOSE, item, 0);
  d = FindDialog(dialId);
  if (!d) return;
  ui.log().Add("dialog.close", Id(*d) + " closed" + (item ? " by item " + std::to_string(item) : std::string()),
               {{"dialog", dialId}, {"res", d->resId}, {"type", DialogKindName(d->kind)}, {"item", item}});
  if (d->window) DestroyHostWindow(d->window);
  dialogs.erase(dialId);
}

short Ui::Impl::CreateDialogFromResource(GSResModule module, short resId, GSResModule helpModule, DialogKind kind,
                                         DGDialCallBack callback, DGUserData userData, std::string* error) {
  const resc::ResourceSet* res = ui.Resources(module);
  if (!res) {
    *error = "resource module " + std::to_string(module) + " is not open";
    return 0;
  }
  auto it = res->dialogs.find(resId);
  if (it == res->dialogs.end()) {
    *error = "no dialog resource " + std::to_string(resId);
    return 0;
  }
  if (dialogs.size() >= 1000 || nextDialog >= 32000) {
    *error = "too many dialogs";
    return 0;
  }
  DialogState d;
  d.id = nextDialog++;
  d.resId = resId;
  d.module = module;
  d.kind = kind;
  d.title = it->second.title;
  d.width = it->second.width;
  d.height = it->second.height;
  d.callback = callback;
  d.userData = userData;
  for (const auto& ri : it->second.items) {
    ItemState item;
    item.id = static_cast<short>(ri.id);
    item.kind = ri.kind;
    item.rect = ri.rect;
    item.text = ri.text;
    item.icon = static_cast<short>(ri.icon);
    item.iconModule = ri.icon ? module : 0;
    item.titleStyle = ri.titleStyle;
    if (ri.hasRange) {
      item.min = ri.min;
      item.max = ri.max;
      item.real = std::clamp(0.0, ri.min, ri.max);
    }
    d.items.push_back(item);
  }
  const resc::ResourceSet* help = ui.Resources(helpModule ? helpModule : module);
  if (help)
    if (auto h = help->help.find(resId); h != help->help.end())
      for (const auto& e : h->second)
        if (e.item >= 1 && e.item <= static_cast<int>(d.items.size())) {
          d.items[e.item - 1].tooltip = e.tooltip;
          d.items[e.item - 1].anchor = e.anchor;
        }
  d.window =
      CreateHostWindow("dialog", kind == DialogKind::Palette ? u"DGPalette" : u"#32770", d.title, ui.MainWindow());
  d.visible = kind == DialogKind::Modal;
  dialogs[d.id] = d;
  ui.log().Add("dialog.open", Id(d) + " \"" + Utf8(d.title) + "\" created (" + DialogKindName(kind) + ")",
               DialogJson(d));
  return d.id;
}

std::vector<short> Ui::OpenDialogs() const {
  std::vector<short> out;
  for (const auto& [id, d] : impl_->dialogs) out.push_back(id);
  return out;
}

const DialogState* Ui::Dialog(short dialId) const { return impl_->FindDialog(dialId); }

short Ui::FindDialogByResource(short resId) const {
  for (auto it = impl_->dialogs.rbegin(); it != impl_->dialogs.rend(); ++it)
    if (it->second.resId == resId) return it->first;
  return 0;
}

// ---- The user's actions ----------------------------------------------------------

namespace {
// Why an item cannot take the user's action now, "" when it can.
std::string Refusal(DialogState* d, ItemState* item, short dialId, short itemId) {
  if (!d) return "no open dialog " + std::to_string(dialId);
  if (!item) return Id(*d) + " has no item " + std::to_string(itemId);
  if (d->kind != DialogKind::Modal && !d->visible) return Id(*d) + " is not visible";
  if (!item->visible) return Id(*d) + " item " + std::to_string(itemId) + " is hidden";
  if (!item->enabled) return Id(*d) + " item " + std::to_string(itemId) + " is disabled";
  return "";
}
}  // namespace

std::string Ui::Click(short dialId, short itemId) {
  DialogState* d = impl_->FindDialog(dialId);
  ItemState* item = impl_->FindItem(dialId, itemId);
  std::string why = Refusal(d, item, dialId, itemId);
  if (why.empty() && !Clickable(item->kind))
    why = Id(*d) + " item " + std::to_string(itemId) + " (" + std::string(resc::ItemKindName(item->kind)) +
          ") cannot be clicked";
  if (!why.empty()) {
    log_.Add("dialog.refused", why, {{"dialog", dialId}, {"item", itemId}, {"reason", why}});
    return why;
  }
  if (item->kind == resc::ItemKind::Check) return SetCheck(dialId, itemId, item->value == 0);
  log_.Add("dialog.click", Id(*d) + " click on item " + std::to_string(itemId) + " \"" + Utf8(item->text) + "\"",
           {{"dialog", dialId}, {"res", d->resId}, {"item", itemId}, {"text", Utf8(item->text)}});
  DialogKind kind = d->kind;
  short r = impl_->SendToDialog(dialId, DG_MSG_CLICK, itemId, 0);
  if (r != 0 && kind == DialogKind::Modal) impl_->CloseDialog(dialId, r);
  return "";
}

std::string Ui::SetCheck(short dialId, short itemId, bool on) {
  DialogState* d = impl_->FindDialog(dialId);
  ItemState* item = impl_->FindItem(dialId, itemId);
  std::string why = Refusal(d, item, dialId, itemId);
  if (why.empty() && item->kind != resc::ItemKind::Check)
    why = Id(*d) + " item " + std::to_string(itemId) + " is no check box";
  if (!why.empty()) {
    log_.Add("dialog.refused", why, {{"dialog", dialId}, {"item", itemId}, {"reason", why}});
    return why;
  }
  if ((item->value != 0) == on) return "";
  item->value = on ? 1 : 0;
  log_.Add("dialog.change", Id(*d) + " check box " + std::to_string(itemId) + (on ? " ticked" : " cleared"),
           {{"dialog", dialId}, {"res", d->resId}, {"item", itemId}, {"value", item->value}});
  impl_->SendToDialog(dialId, DG_MSG_CHANGE, itemId, 0);
  return "";
}

std::string Ui::SelectPopup(short dialId, short itemId, short pos) {
  DialogState* d = impl_->FindDialog(dialId);
  ItemState* item = impl_->FindItem(dialId, itemId);
  std::string why = Refusal(d, item, dialId, itemId);
  if (why.empty() && item->kind != resc::ItemKind::Popup)
    why = Id(*d) + " item " + std::to_string(itemId) + " is no pop-up";
  if (why.empty() && (pos < 1 || pos > static_cast<short>(item->popup.size())))
    why = Id(*d) + " pop-up " + std::to_string(itemId) + " has no entry " + std::to_string(pos);
  if (why.empty() && item->popup[pos - 1].separator)
    why = Id(*d) + " pop-up " + std::to_string(itemId) + " entry " + std::to_string(pos) + " is a separator";
  if (!why.empty()) {
    log_.Add("dialog.refused", why, {{"dialog", dialId}, {"item", itemId}, {"reason", why}});
    return why;
  }
  item->selected = pos;
  log_.Add("dialog.change",
           Id(*d) + " pop-up " + std::to_string(itemId) + " set to \"" + Utf8(item->popup[pos - 1].text) + "\"",
           {{"dialog", dialId},
            {"res", d->resId},
            {"item", itemId},
            {"selected", pos},
            {"text", Utf8(item->popup[pos - 1].text)}});
  impl_->SendToDialog(dialId, DG_MSG_CHANGE, itemId, 0);
  return "";
}

std::string Ui::SetReal(short dialId, short itemId, double value) {
  DialogState* d = impl_->FindDialog(dialId);
  ItemState* item = impl_->FindItem(dialId, itemId);
  std::string why = Refusal(d, item, dialId, itemId);
  if (why.empty() && item->kind != resc::ItemKind::RealEdit)
    why = Id(*d) + " item " + std::to_string(itemId) + " is no number field";
  if (why.empty() && !std::isfinite(value)) why = "not a number";
  if (!why.empty()) {
    log_.Add("dialog.refused", why, {{"dialog", dialId}, {"item", itemId}, {"reason", why}});
    return why;
  }
  // The field keeps its value inside its range, as the host's edit does.
  double stored = std::clamp(value, item->min, item->max);
  item->real = stored;
  log_.Add("dialog.change", Id(*d) + " field " + std::to_string(itemId) + " = " + nlohmann::json(stored).dump(),
           {{"dialog", dialId},
            {"res", d->resId},
            {"item", itemId},
            {"real", stored},
            {"typed", value},
            {"clamped", stored != value}});
  impl_->SendToDialog(dialId, DG_MSG_CHANGE, itemId, 0);
  return "";
}

std::string Ui::Cancel(short dialId) {
  DialogState* d = impl_->FindDialog(dialId);
  if (!d) return "no open dialog " + std::to_string(dialId);
  log_.Add("dialog.cancel", Id(*d) + " closed by the user", {{"dialog", dialId}, {"res", d->resId}});
  impl_->CloseDialog(dialId, 0);
  return "";
}

std::optional<std::u16string> Ui::Tooltip(short dialId, short itemId) {
  DialogState* d = impl_->FindDialog(dialId);
  ItemState* item = impl_->FindItem(dialId, itemId);
  if (!d || !item) return std::nullopt;
  auto help = std::make_unique<DGHelpData>();
  help->helpType = 0;
  help->item = itemId;
  help->toolTipText[0] = 0;
  short r = impl_->SendToDialog(dialId, DG_MSG_TOOLTIP, itemId, reinterpret_cast<DGMessageData>(help.get()));
  help->toolTipText[DG_TOOLTIP_MAX - 1] = 0;  // whatever the add-on wrote, the text ends here
  std::optional<std::u16string> text;
  std::string source;
  d = impl_->FindDialog(dialId);
  item = impl_->FindItem(dialId, itemId);
  if (r == 1) {
    text = std::u16string(help->toolTipText);
    source = "dialog";
  } else if (item && !item->tooltip.empty()) {
    text = item->tooltip;
    source = "resource";
  }
  log_.Add(
      "dialog.tooltip",
      "tooltip of item " + std::to_string(itemId) + ": " + (text ? "\"" + Utf8(*text) + "\"" : std::string("none")),
      {{"dialog", dialId},
       {"res", d ? d->resId : 0},
       {"item", itemId},
       {"returned", r},
       {"text", text ? nlohmann::json(Utf8(*text)) : nlohmann::json(nullptr)},
       {"source", source}});
  return text;
}

void Ui::Idle() {
  impl_->DispatchWindowMessages();
  std::vector<short> ids;
  for (const auto& [id, d] : impl_->dialogs)
    if (d.open && d.processing && d.idle) ids.push_back(id);
  for (short id : ids)
    if (impl_->FindDialog(id)) impl_->SendToDialog(id, DG_MSG_NULL, 0, 0);
}

int Ui::Update() {
  std::vector<short> ids;
  for (const auto& [id, d] : impl_->dialogs)
    if (d.open && d.processing && d.kind != DialogKind::Modal) ids.push_back(id);
  if (ids.empty()) return 0;
  nlohmann::json list = nlohmann::json::array();
  for (short id : ids) list.push_back(id);
  log_.Add("dialog.update", "update message to " + std::to_string(ids.size()) + " dialog(s)", {{"dialogs", list}});
  int sent = 0;
  for (short id : ids)
    if (impl_->FindDialog(id)) {
      impl_->SendToDialog(id, DG_MSG_UPDATE, 0, 0);
      ++sent;
    }
  return sent;
}

}  // namespace host::ui

// ---- The dialog library's calls ------------------------------------------------------

using host::ui::DialogKind;
using host::ui::DialogState;
using host::ui::I;
using host::ui::ItemState;
using host::ui::U;
using host::ui::Utf8;

namespace {

short CreateModeless(GSResModule module, short resId, GSResModule helpModule, DGDialCallBack cb, DGUserData ud,
                     DialogKind kind, const char16_t* guid) {
  std::string error;
  short id = I().CreateDialogFromResource(module, resId, helpModule, kind, cb, ud, &error);
  if (!id) {
    U().log().Add("error", "dialog " + std::to_string(resId) + ": " + error, {{"res", resId}, {"reason", error}});
    return 0;
  }
  if (guid) {
    DialogState* d = I().FindDialog(id);
    for (int i = 0; i < 64 && guid[i]; ++i) d->guid.push_back(guid[i]);
  }
  return id;
}

// Every item change the add-on makes is logged once, when it changes.
template <typename F>
void Change(short dialId, short item, F&& f) {
  DialogState* d = I().FindDialog(dialId);
  ItemState* it = I().FindItem(dialId, item);
  if (d && it) f(*d, *it);
}
}  // namespace

short DGModalDialog(GSResModule module, short resId, GSResModule helpModule, DGDialCallBack callback,
                    DGUserData userData) {
  std::string error;
  short id = I().CreateDialogFromResource(module, resId, helpModule, DialogKind::Modal, callback, userData, &error);
  if (!id) {
    U().log().Add("error", "dialog " + std::to_string(resId) + ": " + error, {{"res", resId}, {"reason", error}});
    return -1;
  }
  I().SendToDialog(id, DG_MSG_INIT, 0, 0);
  // The closing item is reported through the close log; remember it here.
  short closedWith = 0;
  int sink = U().log().AddSink([&](const host::ui::LogEvent& e) {
    if (e.kind == "dialog.close" && e.data.value("dialog", 0) == id) closedWith = e.data.value("item", 0);
  });
  if (I().FindDialog(id)) {
    if (U().answerer()) {
      U().answerer()->Modal(U(), id);
    } else {
      U().log().Add("error", "dialog " + std::to_string(resId) + " needs an answer and nobody answers",
                    {{"res", resId}});
    }
  }
  if (I().FindDialog(id)) U().Cancel(id);
  U().log().RemoveSink(sink);
  return closedWith;
}

short DGCreateBlankModelessDialog(short hSize, short vSize, DGDialCallBack callback, DGUserData userData) {
  if (hSize < 0 || vSize < 0) return 0;
  auto& impl = I();
  if (impl.dialogs.size() >= 1000 || impl.nextDialog >= 32000) return 0;
  DialogState d;
  d.id = impl.nextDialog++;
  d.kind = DialogKind::Blank;
  d.width = hSize;
  d.height = vSize;
  d.callback = callback;
  d.userData = userData;
  impl.dialogs[d.id] = d;
  U().log().Add("dialog.open", "blank modeless dialog #" + std::to_string(d.id) + " created",
                {{"dialog", d.id}, {"res", 0}, {"type", "blank"}});
  return d.id;
}

short DGCreateModelessDialog(GSResModule module, short resId, GSResModule helpModule, DGDialCallBack callback,
                             DGUserData userData) {
  return CreateModeless(module, resId, helpModule, callback, userData, DialogKind::Modeless, nullptr);
}

short DGCreateDockablePalette(GSResModule module, short resId, GSResModule helpModule, DGDialCallBack callback,
                              DGUserData userData, const char16_t* guidText) {
  return CreateModeless(module, resId, helpModule, callback, userData, DialogKind::Palette, guidText);
}

bool DGShowModelessDialog(short dialId, short /*position*/) {
  DialogState* d = I().FindDialog(dialId);
  if (!d || d->kind == DialogKind::Modal) return false;
  if (!d->visible) {
    d->visible = true;
    U().log().Add("dialog.show", (d->resId ? "dialog " + std::to_string(d->resId) : "dialog") + " shown",
                  host::ui::DialogJson(*d));
  }
  return true;
}

bool DGHideModelessDialog(short dialId) {
  DialogState* d = I().FindDialog(dialId);
  if (!d || d->kind == DialogKind::Modal) return false;
  if (d->visible) {
    d->visible = false;
    U().log().Add("dialog.hide", "dialog " + std::to_string(d->resId) + " hidden",
                  {{"dialog", dialId}, {"res", d->resId}});
  }
  return true;
}

bool DGIsDialogOpen(short dialId) {
  DialogState* d = I().FindDialog(dialId);
  return d && d->open;
}

bool DGIsModelessDialogVisible(short dialId) {
  DialogState* d = I().FindDialog(dialId);
  return d && d->open && d->visible;
}

void DGModelessClose(short dialId) { I().CloseDialog(dialId, 0); }

void DGBeginProcessEvents(short dialId) {
  DialogState* d = I().FindDialog(dialId);
  if (!d || d->processing) return;
  d->processing = true;
  // Initialisation arrives once the add-on has its dialog id and listens.
  I().SendToDialog(dialId, DG_MSG_INIT, 0, 0);
}

void DGEndProcessEvents(short dialId) {
  DialogState* d = I().FindDialog(dialId);
  if (d) d->processing = false;
}

void DGEnableMessage(short dialId, short item, short message, bool enable) {
  DialogState* d = I().FindDialog(dialId);
  if (d && item == 0 && message == DG_MSG_NULL) d->idle = enable;
}

HWND__* DGGetDialogWindow(short dialId) {
  DialogState* d = I().FindDialog(dialId);
  return d ? d->window : nullptr;
}

short DGGetItemCount(short dialId) {
  DialogState* d = I().FindDialog(dialId);
  return d ? static_cast<short>(d->items.size()) : 0;
}

void DGEnableItem(short dialId, short item) {
  Change(dialId, item, [](DialogState& d, ItemState& it) {
    if (!it.enabled) {
      it.enabled = true;
      I().LogItem(d, it, "enabled", {{"enabled", true}});
    }
  });
}

void DGDisableItem(short dialId, short item) {
  Change(dialId, item, [](DialogState& d, ItemState& it) {
    if (it.enabled) {
      it.enabled = false;
      I().LogItem(d, it, "disabled", {{"enabled", false}});
    }
  });
}

bool DGIsItemEnabled(short dialId, short item) {
  ItemState* it = I().FindItem(dialId, item);
  return it && it->enabled;
}

void DGShowItem(short dialId, short item) {
  Change(dialId, item, [](DialogState& d, ItemState& it) {
    if (!it.visible) {
      it.visible = true;
      I().LogItem(d, it, "shown", {{"visible", true}});
    }
  });
}

void DGHideItem(short dialId, short item) {
  Change(dialId, item, [](DialogState& d, ItemState& it) {
    if (it.visible) {
      it.visible = false;
      I().LogItem(d, it, "hidden", {{"visible", false}});
    }
  });
}

bool DGIsItemVisible(short dialId, short item) {
  ItemState* it = I().FindItem(dialId, item);
  return it && it->visible;
}

void DGSetItemText(short dialId, short item, const char16_t* text) {
  std::u16string t;
  if (text)
    for (int i = 0; i < 65536 && text[i]; ++i) t.push_back(text[i]);
  Change(dialId, item, [&](DialogState& d, ItemState& it) {
    if (it.text != t) {
      it.text = t;
      I().LogItem(d, it, "text", {{"value", Utf8(t)}});
    }
  });
}

int DGGetItemText(short dialId, short item, char16_t* buffer, int bufferChars) {
  ItemState* it = I().FindItem(dialId, item);
  if (!it) {
    if (buffer && bufferChars > 0) buffer[0] = 0;
    return 0;
  }
  if (buffer && bufferChars > 0) {
    int n = std::min<int>(bufferChars - 1, static_cast<int>(it->text.size()));
    std::copy(it->text.begin(), it->text.begin() + n, buffer);
    buffer[n] = 0;
  }
  return static_cast<int>(it->text.size());
}

void DGSetItemValLong(short dialId, short item, std::int32_t value) {
  Change(dialId, item, [&](DialogState& d, ItemState& it) {
    if (it.kind == resc::ItemKind::Popup) {
      if (value >= 1 && value <= static_cast<std::int32_t>(it.popup.size()) && it.selected != value) {
        it.selected = static_cast<short>(value);
        I().LogItem(d, it, "selected", {{"value", value}});
      }
      return;
    }
    if (it.value != value) {
      it.value = value;
      I().LogItem(d, it, "value", {{"value", value}});
    }
  });
}

std::int32_t DGGetItemValLong(short dialId, short item) {
  ItemState* it = I().FindItem(dialId, item);
  if (!it) return 0;
  return it->kind == resc::ItemKind::Popup ? it->selected : it->value;
}

void DGSetItemValDouble(short dialId, short item, double value) {
  if (!std::isfinite(value)) return;
  Change(dialId, item, [&](DialogState& d, ItemState& it) {
    double v = std::clamp(value, it.min, it.max);
    if (it.real != v) {
      it.real = v;
      I().LogItem(d, it, "number", {{"value", v}});
    }
  });
}

double DGGetItemValDouble(short dialId, short item) {
  ItemState* it = I().FindItem(dialId, item);
  return it ? it->real : 0.0;
}

void DGSetItemMinDouble(short dialId, short item, double value) {
  if (!std::isfinite(value)) return;
  Change(dialId, item, [&](DialogState&, ItemState& it) {
    it.min = value;
    if (it.max < it.min) it.max = it.min;
    it.real = std::clamp(it.real, it.min, it.max);
  });
}

void DGSetItemMaxDouble(short dialId, short item, double value) {
  if (!std::isfinite(value)) return;
  Change(dialId, item, [&](DialogState&, ItemState& it) {
    it.max = value;
    if (it.min > it.max) it.min = it.max;
    it.real = std::clamp(it.real, it.min, it.max);
  });
}

void DGSetItemIcon(short dialId, short item, GSResModule module, short iconId) {
  Change(dialId, item, [&](DialogState& d, ItemState& it) {
    const auto* res = U().Resources(module);
    if (!res || !res->icons.count(iconId))
      U().log().Add("error",
                    "dialog " + std::to_string(d.resId) + " item " + std::to_string(item) + ": icon " +
                        std::to_string(iconId) + " does not exist",
                    {{"dialog", dialId}, {"item", item}, {"icon", iconId}});
    if (it.icon != iconId || it.iconModule != module) {
      it.icon = iconId;
      it.iconModule = module;
      I().LogItem(d, it, "icon", {{"value", iconId}, {"icon", iconId}});
    }
  });
}

short DGGetItemIcon(short dialId, short item) {
  ItemState* it = I().FindItem(dialId, item);
  return it ? it->icon : 0;
}

namespace {
void PopupInsert(short dialId, short item, short pos, bool separator) {
  Change(dialId, item, [&](DialogState& d, ItemState& it) {
    if (it.kind != resc::ItemKind::Popup || it.popup.size() >= 1000) return;
    std::size_t at;
    if (pos == DG_POPUP_BOTTOM) at = it.popup.size();
    else if (pos == DG_POPUP_TOP) at = 0;
    else if (pos >= 1 && pos <= static_cast<short>(it.popup.size()) + 1) at = static_cast<std::size_t>(pos - 1);
    else return;
    host::ui::PopupEntry e;
    e.separator = separator;
    it.popup.insert(it.popup.begin() + static_cast<std::ptrdiff_t>(at), e);
    if (it.selected >= static_cast<short>(at + 1)) ++it.selected;
    I().LogItem(d, it, separator ? "separator inserted" : "entry inserted", {{"value", static_cast<int>(at + 1)}});
  });
}
host::ui::PopupEntry* PopupEntryAt(short dialId, short item, short pos) {
  ItemState* it = I().FindItem(dialId, item);
  if (!it || it->kind != resc::ItemKind::Popup) return nullptr;
  if (pos == DG_POPUP_BOTTOM) pos = static_cast<short>(it->popup.size());
  if (pos == DG_POPUP_TOP) pos = 1;
  if (pos < 1 || pos > static_cast<short>(it->popup.size())) return nullptr;
  return &it->popup[pos - 1];
}
}  // namespace

void DGPopUpInsertItem(short dialId, short item, short pos) { PopupInsert(dialId, item, pos, false); }
void DGPopUpInsertSeparator(short dialId, short item, short pos) { PopupInsert(dialId, item, pos, true); }

void DGPopUpDeleteItem(short dialId, short item, short pos) {
  ItemState* it = I().FindItem(dialId, item);
  if (!it || it->kind != resc::ItemKind::Popup) return;
  if (pos == DG_POPUP_BOTTOM) pos = static_cast<short>(it->popup.size());
  if (pos == DG_POPUP_TOP) pos = 1;
  if (pos < 1 || pos > static_cast<short>(it->popup.size())) return;
  it->popup.erase(it->popup.begin() + (pos - 1));
  if (it->selected == pos) it->selected = 0;
  else if (it->selected > pos) --it->selected;
}

void DGPopUpSetItemText(short dialId, short item, short pos, const char16_t* text) {
  host::ui::PopupEntry* e = PopupEntryAt(dialId, item, pos);
  if (!e) return;
  e->text.clear();
  if (text)
    for (int i = 0; i < 65536 && text[i]; ++i) e->text.push_back(text[i]);
}

void DGPopUpSetItemIcon(short dialId, short item, short pos, GSResModule module, short iconId) {
  host::ui::PopupEntry* e = PopupEntryAt(dialId, item, pos);
  if (!e) return;
  const auto* res = U().Resources(module);
  if (!res || !res->icons.count(iconId))
    U().log().Add("error", "pop-up icon " + std::to_string(iconId) + " does not exist", {{"icon", iconId}});
  e->icon = iconId;
}

short DGPopUpGetItemCount(short dialId, short item) {
  ItemState* it = I().FindItem(dialId, item);
  return it && it->kind == resc::ItemKind::Popup ? static_cast<short>(it->popup.size()) : 0;
}

void DGPopUpSelectItem(short dialId, short item, short pos) {
  ItemState* it = I().FindItem(dialId, item);
  if (!it || it->kind != resc::ItemKind::Popup) return;
  if (pos == DG_POPUP_BOTTOM) pos = static_cast<short>(it->popup.size());
  if (pos == DG_POPUP_TOP) pos = 1;
  if (pos < 1 || pos > static_cast<short>(it->popup.size()) || it->popup[pos - 1].separator) return;
  if (it->selected != pos) {
    it->selected = pos;
    I().LogItem(*I().FindDialog(dialId), *it, "selected", {{"value", pos}, {"text", Utf8(it->popup[pos - 1].text)}});
  }
}

short DGPopUpGetSelected(short dialId, short item) {
  ItemState* it = I().FindItem(dialId, item);
  return it && it->kind == resc::ItemKind::Popup ? it->selected : 0;
}
