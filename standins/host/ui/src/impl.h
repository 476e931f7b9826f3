// Internal state of the host's user interface shared by its source files.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hostui/ui.h"

struct HICON__ {
  GSResModule module = 0;
  short id = 0;
  int size = 0;
};

namespace host::ui {

struct ResourceModule {
  std::string path;
  void* dlHandle = nullptr;
  int users = 0;
  resc::ResourceSet set;
};

struct Hook {
  HHOOK id = nullptr;
  int type = 0;
  HOOKPROC proc = nullptr;
  DWORD thread = 0;
};

struct Ui::Impl {
  explicit Impl(Ui& owner) : ui(owner) {}
  Ui& ui;

  // Resources.
  std::map<GSResModule, ResourceModule> modules;
  GSResModule nextModule = 1;

  // Dialogs by id; ids are never reused within a session.
  std::map<short, DialogState> dialogs;
  short nextDialog = 1;

  // Windows this process owns, in creation order.
  std::vector<HostWindow> windows;
  std::uintptr_t nextPseudoWindow = 0x7F000000u;

  std::vector<Hook> hooks;
  std::uintptr_t nextHook = 1;

  std::set<HICON__*> icons;

  DWORD commDlgError = 0;

  // Records kept on the Ui object.
  bool ShellLaunches() const { return ui.shellLaunches_; }
  std::vector<ShellRecord>& ShellRecords() { return ui.shell_; }
  std::vector<MessageBoxRecord>& MessageBoxRecords() { return ui.messageBoxes_; }

  // Helpers.
  DialogState* FindDialog(short dialId);
  ItemState* FindItem(short dialId, short item);
  HostWindow* FindWindow(HWND handle);
  HWND CreateHostWindow(const std::string& kind, const std::u16string& className, const std::u16string& title,
                        HWND owner);
  void DestroyHostWindow(HWND handle);
  short SendToDialog(short dialId, short message, short item, DGMessageData data);
  void CloseDialog(short dialId, short item);
  short CreateDialogFromResource(GSResModule module, short resId, GSResModule helpModule, DialogKind kind,
                                 DGDialCallBack callback, DGUserData userData, std::string* error);
  void LogItem(const DialogState& d, const ItemState& item, const std::string& what, nlohmann::json extra);
};

std::string HandleText(const void* handle);

// The one UI of this process, as the Win32-style entry points reach it.
inline Ui& U() { return Ui::Get(); }
inline Ui::Impl& I() { return Ui::Get().impl(); }

// A NUL-terminated text an add-on handed over, read up to max units: a text
// written without its terminator is cut rather than read past its buffer.
inline std::u16string Bounded(LPCWSTR text, std::size_t max) {
  std::u16string out;
  if (text)
    for (std::size_t i = 0; i < max && text[i]; ++i) out.push_back(text[i]);
  return out;
}

}  // namespace host::ui
