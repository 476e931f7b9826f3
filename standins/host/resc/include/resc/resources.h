// The resources an add-on module carries: string lists, menus, prompts,
// alerts, dialogs with their help entries, icons and the module identity.
//
// Source files are JSON written by people; the compiler (corv_resc) checks
// them, draws or loads the icons and embeds a normalised JSON image into the
// module. The host parses that image again when it opens the module's
// resources, so Parse() treats its input as untrusted: every field is type-
// and range-checked and a bad image gives an error text, never a crash.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace resc {

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
};

// Item kinds the dialog library knows. Text names are the ones used in the
// source files.
enum class ItemKind { Button, IconButton, Check, Popup, RealEdit, Text, Link, Separator, Picture, Icon };
std::string_view ItemKindName(ItemKind kind);
std::optional<ItemKind> ItemKindFromName(std::string_view name);

struct DialogItem {
  int id = 0;  // 1-based, in resource order
  ItemKind kind = ItemKind::Text;
  Rect rect;
  std::u16string text;
  int icon = 0;
  bool hasRange = false;
  double min = 0.0, max = 0.0;
  bool titleStyle = false;
};

enum class DialogType { Modal, Modeless, Palette };
struct Dialog {
  int id = 0;
  DialogType type = DialogType::Modal;
  int width = 0, height = 0;
  std::u16string title;
  std::vector<DialogItem> items;
};

struct HelpEntry {
  int item = 0;
  std::u16string anchor;
  std::u16string tooltip;
};

struct Alert {
  int id = 0;
  int icon = 0;
  std::u16string title;
  std::u16string message;
  std::vector<std::u16string> buttons;  // 1 to 3
};

struct Menu {
  std::u16string title;               // empty for items that go into a host menu
  std::vector<std::u16string> items;  // raw item strings, suffix included
};

struct Icon {
  std::vector<std::uint8_t> png;
  int width = 0, height = 0;
};

struct Identity {
  std::uint32_t resourceId = 0;
  std::uint32_t developerId = 0;
  std::uint32_t localId = 0;
};

struct ResourceSet {
  std::map<int, std::vector<std::u16string>> strings;  // string lists, items from 1
  std::map<int, Menu> menus;
  std::map<int, std::pair<std::u16string, std::u16string>> prompts;  // title, text
  std::map<int, Alert> alerts;
  std::map<int, Dialog> dialogs;
  std::map<int, std::vector<HelpEntry>> help;  // by dialog id
  std::map<int, Icon> icons;
  std::optional<Identity> identity;
};

struct ParseResult {
  bool ok = false;
  std::string error;  // "where: what" when !ok
  ResourceSet set;
};

// Parses a compiled image (icons carry their PNG bytes in base64).
ParseResult Parse(std::string_view image);

// Serialises a set into the compiled image that Parse reads back.
std::string Serialise(const ResourceSet& set);

// Splits a host menu item string "Text^E3^ES...^ET^32101" into its display
// text and icon number (0 when it has none).
struct MenuItemText {
  std::u16string text;
  int icon = 0;
};
MenuItemText SplitMenuItem(std::u16string_view raw);

// Reads width and height from a PNG's header; false when the bytes are not a
// PNG or are cut short.
bool PngSize(const std::vector<std::uint8_t>& png, int* width, int* height);

}  // namespace resc
