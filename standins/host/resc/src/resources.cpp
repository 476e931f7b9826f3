#include "resc/resources.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>

#include "base/base64.h"
#include "base/utf.h"

namespace resc {
namespace {

using json = nlohmann::json;

constexpr const char* kKindNames[] = {"button", "iconbutton", "check",     "popup",   "realedit",
                                      "text",   "link",       "separator", "picture", "icon"};

// Thrown inside Parse only; turned into ParseResult::error.
struct BadImage {
  std::string what;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) { throw BadImage{where + ": " + what}; }

int ResourceId(const std::string& key, const std::string& where) {
  // Ids are the host's 16-bit positive resource numbers.
  if (key.empty() || key.size() > 5) Fail(where, "resource id \"" + key + "\" is not a number 1..32767");
  int v = 0;
  for (char c : key) {
    if (c < '0' || c > '9') Fail(where, "resource id \"" + key + "\" is not a number 1..32767");
    v = v * 10 + (c - '0');
  }
  if (v < 1 || v > 32767) Fail(where, "resource id " + key + " out of range 1..32767");
  return v;
}

const json& Member(const json& obj, const char* name, const std::string& where) {
  auto it = obj.find(name);
  if (it == obj.end()) Fail(where, std::string("missing \"") + name + "\"");
  return *it;
}

std::u16string Text(const json& v, const std::string& where) {
  if (!v.is_string()) Fail(where, "expected a text");
  const auto& s = v.get_ref<const std::string&>();
  if (s.size() > 65536) Fail(where, "text longer than 65536 bytes");
  return base::FromUtf8(s);
}

int Int(const json& v, const std::string& where, long long lo, long long hi) {
  if (!v.is_number_integer()) Fail(where, "expected an integer");
  long long n = v.is_number_unsigned()
                    ? static_cast<long long>(std::min<std::uint64_t>(v.get<std::uint64_t>(), 1ull << 40))
                    : v.get<long long>();
  if (n < lo || n > hi)
    Fail(where, "value " + std::to_string(n) + " out of range " + std::to_string(lo) + ".." + std::to_string(hi));
  return static_cast<int>(n);
}

std::uint32_t U32(const json& v, const std::string& where) {
  if (!v.is_number_integer() || (v.is_number_integer() && !v.is_number_unsigned() && v.get<long long>() < 0))
    Fail(where, "expected an unsigned 32-bit integer");
  auto n = v.get<std::uint64_t>();
  if (n > 0xFFFFFFFFull) Fail(where, "value does not fit 32 bits");
  return static_cast<std::uint32_t>(n);
}

const json& Object(const json& v, const std::string& where) {
  if (!v.is_object()) Fail(where, "expected an object");
  return v;
}
const json& Array(const json& v, const std::string& where, std::size_t maxCount) {
  if (!v.is_array()) Fail(where, "expected a list");
  if (v.size() > maxCount) Fail(where, "more than " + std::to_string(maxCount) + " entries");
  return v;
}

DialogItem ParseItem(const json& j, int id, const std::string& where) {
  Object(j, where);
  DialogItem item;
  item.id = id;
  auto kindText = Member(j, "kind", where);
  if (!kindText.is_string()) Fail(where, "kind must be a text");
  auto kind = ItemKindFromName(kindText.get<std::string>());
  if (!kind) Fail(where, "unknown item kind \"" + kindText.get<std::string>() + "\"");
  item.kind = *kind;
  const json& r = Array(Member(j, "rect", where), where + ".rect", 4);
  if (r.size() != 4) Fail(where + ".rect", "expected [x, y, w, h]");
  item.rect = {Int(r[0], where + ".rect", -10000, 10000), Int(r[1], where + ".rect", -10000, 10000),
               Int(r[2], where + ".rect", 0, 10000), Int(r[3], where + ".rect", 0, 10000)};
  if (auto t = j.find("text"); t != j.end()) item.text = Text(*t, where + ".text");
  if (auto ic = j.find("icon"); ic != j.end()) item.icon = Int(*ic, where + ".icon", 0, 32767);
  if (auto rg = j.find("range"); rg != j.end()) {
    const json& a = Array(*rg, where + ".range", 2);
    if (a.size() != 2 || !a[0].is_number() || !a[1].is_number()) Fail(where + ".range", "expected [min, max]");
    item.min = a[0].get<double>();
    item.max = a[1].get<double>();
    if (!std::isfinite(item.min) || !std::isfinite(item.max) || item.min > item.max)
      Fail(where + ".range", "min must not exceed max");
    item.hasRange = true;
  }
  if (auto st = j.find("style"); st != j.end()) {
    if (!st->is_string() || st->get<std::string>() != "title") Fail(where + ".style", "only \"title\" is known");
    item.titleStyle = true;
  }
  if ((item.kind == ItemKind::Picture || item.kind == ItemKind::IconButton || item.kind == ItemKind::Icon) &&
      item.icon == 0)
    Fail(where, "a picture, icon or icon button needs an icon");
  return item;
}

ResourceSet ParseSet(const json& root) {
  ResourceSet set;
  Object(root, "image");
  static const char* known[] = {"identity", "strings", "menus", "prompts", "alerts", "dialogs", "help", "icons"};
  for (auto it = root.begin(); it != root.end(); ++it) {
    bool ok = false;
    for (auto* k : known) ok = ok || it.key() == k;
    if (!ok) Fail(it.key(), "unknown section");
  }
  if (auto id = root.find("identity"); id != root.end()) {
    Object(*id, "identity");
    Identity ident;
    ident.resourceId = static_cast<std::uint32_t>(Int(Member(*id, "id", "identity"), "identity.id", 1, 32767));
    ident.developerId = U32(Member(*id, "developer", "identity"), "identity.developer");
    ident.localId = U32(Member(*id, "local", "identity"), "identity.local");
    set.identity = ident;
  }
  if (auto s = root.find("strings"); s != root.end()) {
    for (auto it = Object(*s, "strings").begin(); it != s->end(); ++it) {
      std::string where = "strings." + it.key();
      int id = ResourceId(it.key(), where);
      auto& list = set.strings[id];
      for (const auto& e : Array(it.value(), where, 4096)) list.push_back(Text(e, where));
    }
  }
  if (auto m = root.find("menus"); m != root.end()) {
    for (auto it = Object(*m, "menus").begin(); it != m->end(); ++it) {
      std::string where = "menus." + it.key();
      int id = ResourceId(it.key(), where);
      Object(it.value(), where);
      Menu menu;
      if (auto t = it.value().find("title"); t != it.value().end()) menu.title = Text(*t, where + ".title");
      for (const auto& e : Array(Member(it.value(), "items", where), where + ".items", 256))
        menu.items.push_back(Text(e, where + ".items"));
      if (menu.items.empty()) Fail(where, "a menu needs at least one item");
      set.menus[id] = std::move(menu);
    }
  }
  if (auto p = root.find("prompts"); p != root.end()) {
    for (auto it = Object(*p, "prompts").begin(); it != p->end(); ++it) {
      std::string where = "prompts." + it.key();
      int id = ResourceId(it.key(), where);
      Object(it.value(), where);
      set.prompts[id] = {Text(Member(it.value(), "title", where), where + ".title"),
                         Text(Member(it.value(), "text", where), where + ".text")};
    }
  }
  if (auto a = root.find("alerts"); a != root.end()) {
    for (auto it = Object(*a, "alerts").begin(); it != a->end(); ++it) {
      std::string where = "alerts." + it.key();
      Alert alert;
      alert.id = ResourceId(it.key(), where);
      const json& j = Object(it.value(), where);
      if (auto ic = j.find("icon"); ic != j.end()) alert.icon = Int(*ic, where + ".icon", 0, 32767);
      alert.title = Text(Member(j, "title", where), where + ".title");
      alert.message = Text(Member(j, "message", where), where + ".message");
      for (const auto& b : Array(Member(j, "buttons", where), where + ".buttons", 3))
        alert.buttons.push_back(Text(b, where + ".buttons"));
      if (alert.buttons.empty()) Fail(where, "an alert needs one to three buttons");
      set.alerts[alert.id] = std::move(alert);
    }
  }
  if (auto d = root.find("dialogs"); d != root.end()) {
    for (auto it = Object(*d, "dialogs").begin(); it != d->end(); ++it) {
      std::string where = "dialogs." + it.key();
      Dialog dlg;
      dlg.id = ResourceId(it.key(), where);
      const json& j = Object(it.value(), where);
      const json& type = Member(j, "type", where);
      if (type == "modal") dlg.type = DialogType::Modal;
      else if (type == "modeless") dlg.type = DialogType::Modeless;
      else if (type == "palette") dlg.type = DialogType::Palette;
      else Fail(where + ".type", "expected modal, modeless or palette");
      const json& size = Array(Member(j, "size", where), where + ".size", 2);
      if (size.size() != 2) Fail(where + ".size", "expected [w, h]");
      dlg.width = Int(size[0], where + ".size", 1, 10000);
      dlg.height = Int(size[1], where + ".size", 1, 10000);
      if (auto t = j.find("title"); t != j.end()) dlg.title = Text(*t, where + ".title");
      int n = 0;
      for (const auto& e : Array(Member(j, "items", where), where + ".items", 1000)) {
        ++n;
        dlg.items.push_back(ParseItem(e, n, where + ".items[" + std::to_string(n) + "]"));
      }
      set.dialogs[dlg.id] = std::move(dlg);
    }
  }
  if (auto h = root.find("help"); h != root.end()) {
    for (auto it = Object(*h, "help").begin(); it != h->end(); ++it) {
      std::string where = "help." + it.key();
      int id = ResourceId(it.key(), where);
      auto& list = set.help[id];
      for (const auto& e : Array(it.value(), where, 1000)) {
        Object(e, where);
        HelpEntry entry;
        entry.item = Int(Member(e, "item", where), where + ".item", 1, 1000);
        if (auto a = e.find("anchor"); a != e.end()) entry.anchor = Text(*a, where + ".anchor");
        if (auto t = e.find("tooltip"); t != e.end()) entry.tooltip = Text(*t, where + ".tooltip");
        list.push_back(std::move(entry));
      }
    }
  }
  if (auto ic = root.find("icons"); ic != root.end()) {
    for (auto it = Object(*ic, "icons").begin(); it != ic->end(); ++it) {
      std::string where = "icons." + it.key();
      int id = ResourceId(it.key(), where);
      const json& j = Object(it.value(), where);
      const json& data = Member(j, "png", where);
      if (!data.is_string()) Fail(where + ".png", "expected base64 text");
      Icon icon;
      auto png = base::Base64Decode(data.get<std::string>());
      if (!png) Fail(where + ".png", "bad base64");
      icon.png = std::move(*png);
      if (!PngSize(icon.png, &icon.width, &icon.height)) Fail(where + ".png", "not a PNG image");
      set.icons[id] = std::move(icon);
    }
  }
  // Cross references: every icon a resource names must exist, so that the
  // host never shows a hole where the add-on expects a picture.
  for (const auto& [id, dlg] : set.dialogs)
    for (const auto& item : dlg.items)
      if (item.icon != 0 && !set.icons.count(item.icon))
        Fail("dialogs." + std::to_string(id) + ".items[" + std::to_string(item.id) + "]",
             "icon " + std::to_string(item.icon) + " is not defined");
  for (const auto& [id, entries] : set.help) {
    auto d = set.dialogs.find(id);
    if (d == set.dialogs.end()) Fail("help." + std::to_string(id), "no dialog with this id");
    for (const auto& e : entries)
      if (e.item > static_cast<int>(d->second.items.size()))
        Fail("help." + std::to_string(id), "item " + std::to_string(e.item) + " does not exist");
  }
  for (const auto& [id, alert] : set.alerts)
    if (alert.icon != 0 && !set.icons.count(alert.icon))
      Fail("alerts." + std::to_string(id), "icon " + std::to_string(alert.icon) + " is not defined");
  return set;
}

}  // namespace

std::string_view ItemKindName(ItemKind kind) { return kKindNames[static_cast<int>(kind)]; }

std::optional<ItemKind> ItemKindFromName(std::string_view name) {
  for (int i = 0; i < static_cast<int>(std::size(kKindNames)); ++i)
    if (name == kKindNames[i]) return static_cast<ItemKind>(i);
  return std::nullopt;
}

ParseResult Parse(std::string_view image) {
  ParseResult result;
  json root = json::parse(image.begin(), image.end(), nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded()) {
    result.error = "image: not valid JSON";
    return result;
  }
  try {
    result.set = ParseSet(root);
    result.ok = true;
  } catch (const BadImage& e) {
    result.error = e.what;
  } catch (const json::exception& e) {
    result.error = std::string("image: ") + e.what();
  }
  return result;
}

std::string Serialise(const ResourceSet& set) {
  json root = json::object();
  if (set.identity)
    root["identity"] = {
        {"id", set.identity->resourceId}, {"developer", set.identity->developerId}, {"local", set.identity->localId}};
  for (const auto& [id, list] : set.strings) {
    json a = json::array();
    for (const auto& s : list) a.push_back(base::ToUtf8(s));
    root["strings"][std::to_string(id)] = a;
  }
  for (const auto& [id, menu] : set.menus) {
    json items = json::array();
    for (const auto& s : menu.items) items.push_back(base::ToUtf8(s));
    json m = {{"items", items}};
    if (!menu.title.empty()) m["title"] = base::ToUtf8(menu.title);
    root["menus"][std::to_string(id)] = m;
  }
  for (const auto& [id, p] : set.prompts)
    root["prompts"][std::to_string(id)] = {{"title", base::ToUtf8(p.first)}, {"text", base::ToUtf8(p.second)}};
  for (const auto& [id, a] : set.alerts) {
    json buttons = json::array();
    for (const auto& b : a.buttons) buttons.push_back(base::ToUtf8(b));
    root["alerts"][std::to_string(id)] = {
        {"icon", a.icon}, {"title", base::ToUtf8(a.title)}, {"message", base::ToUtf8(a.message)}, {"buttons", buttons}};
  }
  for (const auto& [id, d] : set.dialogs) {
    static const char* types[] = {"modal", "modeless", "palette"};
    json items = json::array();
    for (const auto& it : d.items) {
      json j = {{"kind", std::string(ItemKindName(it.kind))}, {"rect", {it.rect.x, it.rect.y, it.rect.w, it.rect.h}}};
      if (!it.text.empty()) j["text"] = base::ToUtf8(it.text);
      if (it.icon) j["icon"] = it.icon;
      if (it.hasRange) j["range"] = {it.min, it.max};
      if (it.titleStyle) j["style"] = "title";
      items.push_back(j);
    }
    json dj = {{"type", types[static_cast<int>(d.type)]}, {"size", {d.width, d.height}}, {"items", items}};
    if (!d.title.empty()) dj["title"] = base::ToUtf8(d.title);
    root["dialogs"][std::to_string(id)] = dj;
  }
  for (const auto& [id, entries] : set.help) {
    json a = json::array();
    for (const auto& e : entries) {
      json j = {{"item", e.item}};
      if (!e.anchor.empty()) j["anchor"] = base::ToUtf8(e.anchor);
      if (!e.tooltip.empty()) j["tooltip"] = base::ToUtf8(e.tooltip);
      a.push_back(j);
    }
    root["help"][std::to_string(id)] = a;
  }
  for (const auto& [id, icon] : set.icons) root["icons"][std::to_string(id)] = {{"png", base::Base64Encode(icon.png)}};
  return root.dump(1);
}

MenuItemText SplitMenuItem(std::u16string_view raw) {
  // The host's suffix "^E3^ES^EE^EI^ED^EL^EW^ET^" is followed by the icon
  // number; everything before the first '^' is what the user reads.
  MenuItemText out;
  auto caret = raw.find(u'^');
  out.text = std::u16string(raw.substr(0, caret));
  if (caret == std::u16string_view::npos) return out;
  auto last = raw.rfind(u'^');
  int icon = 0;
  bool digits = last + 1 < raw.size();
  for (std::size_t i = last + 1; i < raw.size(); ++i) {
    if (raw[i] < u'0' || raw[i] > u'9' || icon > 3276) {
      digits = false;
      break;
    }
    icon = icon * 10 + (raw[i] - u'0');
  }
  out.icon = digits ? icon : 0;
  return out;
}

bool PngSize(const std::vector<std::uint8_t>& png, int* width, int* height) {
  // Signature (8), IHDR length (4) and type (4), then width and height
  // big-endian; checked by hand so that a bad image never reaches libpng.
  static const std::uint8_t sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (png.size() < 33 || std::memcmp(png.data(), sig, 8) != 0 || std::memcmp(png.data() + 12, "IHDR", 4) != 0)
    return false;
  auto be = [&](std::size_t o) {
    return (std::uint32_t(png[o]) << 24) | (std::uint32_t(png[o + 1]) << 16) | (std::uint32_t(png[o + 2]) << 8) |
           png[o + 3];
  };
  std::uint32_t w = be(16), h = be(20);
  if (w == 0 || h == 0 || w > 4096 || h > 4096) return false;
  *width = static_cast<int>(w);
  *height = static_cast<int>(h);
  return true;
}

}  // namespace resc
