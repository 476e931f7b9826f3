// Internal state of the host's user interface shared by its source files.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hostui/ui.h"
#include "module_image.h"

#ifndef _WIN32
// The Linux build's icon: which image of which module it shows. On Windows
// an icon is a real one (win/icons.cpp).
struct HICON__ {
  GSResModule module = 0;
  short id = 0;
  int size = 0;
};
#endif

namespace host::ui {

struct ResourceModule {
  std::string path;
  ModuleImage image;  // the loaded module that carries the resources
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

#ifdef _WIN32
  std::map<HICON, short> icons;  // real icons made by RSLoadIcon, by resource id
#else
  std::set<HICON__*> icons;
#endif

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
  // Makes the calling thread the one whose questions the host answers (on
  // Windows its CBT hook answers the system's message boxes and save
  // dialogs; on Linux the host's own calls ask the answerer directly).
  void AttachToThread();
  // Delivers what waits for the host's windows (on Windows: messages sent
  // or posted to them from other threads and processes); each idle turn.
  void DispatchWindowMessages();
  short SendToDialog(short dialId, short message, short item, DGMessageData data);
  void CloseDialog(short dialId, short item);
  short CreateDialogFromResource(GSResModule module, short resId, GSResModule helpModule, DialogKind kind,
                                 DGDialCallBack callback, DGUserData userData, std::string* error);
  void LogItem(const DialogState& d, const ItemState& item, const std::string& what, nlohmann::json extra);
};

std::string HandleText(const void* handle);

// window_events.cpp: the host's windows as the log tells them.
std::vector<int> MessageBoxButtons(UINT style);
std::string MessageBoxButtonName(int id);
// A window's new title; false when it is the same (the status bar logs both).
bool NoteWindowText(HostWindow& w, const std::u16string& text);
// A window's new small or big icon; returns the previous one.
short NoteWindowIcon(HostWindow& w, bool small, short id);
void NoteMessageBoxShown(const MessageBoxRequest& req);
// button when the box offers it, else the one a user closing it presses
// (logged as a fallback, or an error when the answer was unusable).
int UsableMessageBoxButton(const MessageBoxRequest& req, int button);
void NoteMessageBoxAnswered(const MessageBoxRecord& rec);

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
