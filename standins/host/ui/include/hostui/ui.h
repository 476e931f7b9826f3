// The host's user interface as one in-process object: the add-on's menus,
// its palettes and dialogs, alerts, message boxes, the host's windows (main
// window, status bar), the save dialog and the shell opener. The add-on
// reaches it through the SDK calls of hostsdk/ui/ (function table entries,
// dialog library, Windows calls); the host program drives it as a user
// would (choose a menu item, click a palette button) and answers its
// questions through an Answerer. All state can be read back for display and
// tests; every effect a user could see goes to the Log.
//
// Threading: like the host's own user interface, everything runs on one
// thread (the host's user-interface thread); callbacks into the add-on run
// synchronously on it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hostsdk/functable.h"
#include "hostsdk/ui/dg.h"
#include "hostsdk/ui/menus.h"
#include "hostsdk/ui/win32ui.h"
#include "hostui/log.h"
#include "resc/embedded.h"
#include "resc/resources.h"

namespace host::ui {

// ---- Questions the host asks its user -------------------------------------------
struct AlertRequest {
  int resId = 0;
  std::u16string title, message;
  std::vector<std::u16string> buttons;
};
struct MessageBoxRequest {
  HWND window = nullptr, owner = nullptr;
  std::u16string caption, text;
  UINT style = 0;
};
struct SaveDialogRequest {
  std::u16string title, initialDir, proposal, defaultExtension;
  std::vector<std::pair<std::u16string, std::u16string>> filters;  // description, pattern
  int filterIndex = 1;
  DWORD flags = 0;
};

class Ui;

// Answers the host's questions: queued answers in scripts and tests, the
// person at the prompt in interactive use.
class Answerer {
 public:
  virtual ~Answerer() = default;
  // A button number from 1.
  virtual int Alert(const AlertRequest& request) = 0;
  // IDOK, IDCANCEL, IDYES, ...
  virtual int MessageBox(const MessageBoxRequest& request) = 0;
  // The chosen path; nullopt when the user cancels.
  virtual std::optional<std::u16string> SaveFile(const SaveDialogRequest& request) = 0;
  // The file exists: replace it?
  virtual bool ConfirmOverwrite(const std::u16string& path) = 0;
  // A modal dialog is open: act on it through ui (Click, SetCheck, ...)
  // until it closes; a dialog still open on return is cancelled.
  virtual void Modal(Ui& ui, short dialId) = 0;
};

// ---- State that can be read back ----------------------------------------------------
struct MenuItemState {
  short resId = 0;
  int itemIndex = 1;
  int positionCode = 0;
  int registrationFlags = 0;
  int group = 0;  // items of one host menu share a group
  std::u16string menuTitle;
  std::u16string text;  // what the user reads
  int icon = 0;
  short promptId = 0;
  std::u16string promptTitle, promptText;
  GSFlags flags = 0;  // API_MenuItemDisabled | API_MenuItemChecked
  APIMenuCommandProc* handler = nullptr;
  GSResModule module = 0;
  bool Enabled() const { return (flags & API_MenuItemDisabled) == 0; }
  bool Checked() const { return (flags & API_MenuItemChecked) != 0; }
};

struct PopupEntry {
  std::u16string text;
  short icon = 0;
  bool separator = false;
};

struct ItemState {
  short id = 0;
  resc::ItemKind kind = resc::ItemKind::Text;
  resc::Rect rect;
  std::u16string text;
  bool enabled = true, visible = true;
  std::int32_t value = 0;  // check box
  double real = 0.0;
  double min = -1e300, max = 1e300;
  bool titleStyle = false;
  short icon = 0;
  GSResModule iconModule = 0;
  std::vector<PopupEntry> popup;
  short selected = 0;              // pop-up position from 1, 0 none
  std::u16string tooltip, anchor;  // from the help resource
};

enum class DialogKind { Modal, Modeless, Palette, Blank };

struct DialogState {
  short id = 0;
  short resId = 0;
  GSResModule module = 0;
  DialogKind kind = DialogKind::Modal;
  std::u16string title;
  int width = 0, height = 0;
  bool open = true, visible = false, processing = false, idle = false;
  std::vector<ItemState> items;
  HWND window = nullptr;
  short smallIcon = 0;
  DGDialCallBack callback = nullptr;
  DGUserData userData = 0;
  std::u16string guid;
  const ItemState* Item(short item) const;
};

struct PaletteRegistration {
  std::int32_t refId = 0;
  APIPaletteControlCallBackProc* callback = nullptr;
  GSFlags flags = 0;
  std::u16string guid;
  GSResModule module = 0;
};

struct HostWindow {
  HWND handle = nullptr;
  std::string kind;  // "main", "statusbar", "msgbox", "dialog", "savedialog"
  std::u16string className, title;
  HWND owner = nullptr;
  short smallIcon = 0, bigIcon = 0;
  bool published = false;  // in the per-user window registry
};

struct MessageBoxRecord {
  std::u16string caption, text;
  UINT style = 0;
  HWND owner = nullptr;
  short smallIcon = 0;  // as set by the add-on while the box was up
  int button = 0;
};

struct ShellRecord {
  std::u16string verb, file, parameters, directory;
  int show = 0;
  bool launched = false;
};

class Ui {
 public:
  static Ui& Get();

  Log& log() { return log_; }
  void SetAnswerer(Answerer* answerer) { answerer_ = answerer; }
  Answerer* answerer() const { return answerer_; }

  // ---- The host's windows ----
  // Publishes a main window of the host when the host has none yet; the
  // status bar becomes its child. Returns the main window.
  HWND EnsureMainWindow(const std::u16string& title);
  // Adopts a main window the host published itself.
  void SetMainWindow(HWND window);
  HWND MainWindow() const { return mainWindow_; }
  HWND StatusBar() const { return statusBar_; }
  std::u16string StatusText() const;
  const HostWindow* Window(HWND handle) const;
  // Removes every window this object published (at exit).
  void DestroyWindows();

  // ---- Add-on resources ----
  // Opens the resources embedded in the module file at path and makes them
  // the ones the next menu registrations read. 0 with *error on failure.
  GSResModule OpenModuleResources(const std::string& path, std::string* error);
  GSResModule OpenModuleAt(const void* address, std::string* error);
  void CloseModuleResources(GSResModule module);
  void SetCurrentModule(GSResModule module) { currentModule_ = module; }
  GSResModule CurrentModule() const { return currentModule_; }
  const resc::ResourceSet* Resources(GSResModule module) const;
  std::string ModulePath(GSResModule module) const;

  // ---- Table entries (host side of the UI's ACAPI_ calls) ----
  // The UI's function-table entries (index, function) for the host to
  // install; InstallFunctions writes them into a raw table.
  static std::vector<std::pair<std::size_t, HostFunction>> TableEntries();
  void InstallFunctions(API_FunctionTable* table);
  GSErrCode RegisterMenu(short menuResId, short promptResId, std::int32_t code, std::int32_t flags);
  GSErrCode InstallMenuHandler(short menuResId, APIMenuCommandProc* handler);
  GSErrCode Interface(GSType selector, void* p1, void* p2);
  GSErrCode RegisterModelessWindow(std::int32_t refId, APIPaletteControlCallBackProc* callback, GSFlags flags,
                                   const char16_t* guid);
  GSErrCode UnregisterModelessWindow(std::int32_t refId);

  // ---- Menus as the user sees them ----
  const std::vector<MenuItemState>& Menus() const { return menus_; }
  const MenuItemState* FindMenu(short resId, int itemIndex = 1) const;
  // By the text the user reads (first match).
  const MenuItemState* FindMenuByText(const std::u16string& text) const;
  // Chooses a menu item as the user does. A disabled item or one without a
  // handler does nothing and reports why in *error.
  GSErrCode ChooseMenu(short resId, int itemIndex, std::string* error);

  // ---- Palettes and modeless windows ----
  const std::map<std::int32_t, PaletteRegistration>& Palettes() const { return palettes_; }
  // A control message from the host to a registered palette. For
  // APIPalMsg_IsPaletteVisible the answer goes to *visible.
  GSErrCode SendPaletteControl(std::int32_t refId, API_PaletteMessageID message, bool* visible, std::string* error);
  // One pass of the host's idle loop: a null message to every open dialog
  // that processes events and asked for idle messages.
  void Idle();
  // The host's periodic update: DG_MSG_UPDATE (16383) to every open
  // modeless dialog and palette that processes events, whether or not it
  // asked for idle messages. Logged as one "dialog.update" event (none
  // when no dialog is there to get it); returns how many dialogs got it.
  int Update();

  // ---- Dialogs as the user sees them and acts on them ----
  std::vector<short> OpenDialogs() const;
  const DialogState* Dialog(short dialId) const;
  // Dialog created from resource resId (newest first), 0 when none is open.
  short FindDialogByResource(short resId) const;
  // Acting on items; each returns "" or the reason it did nothing.
  std::string Click(short dialId, short item);
  std::string SetCheck(short dialId, short item, bool on);
  std::string SelectPopup(short dialId, short item, short pos);
  std::string SetReal(short dialId, short item, double value);
  // Close box / Esc: DG_MSG_CLOSEREQUEST, then the dialog closes.
  std::string Cancel(short dialId);
  // The tooltip the user sees when pointing at the item: the callback's
  // answer to DG_MSG_TOOLTIP, else the help resource's tooltip.
  std::optional<std::u16string> Tooltip(short dialId, short item);
  // Draws the dialog (icons at their places, disabled items faded) as PNG.
  bool RenderDialogPng(short dialId, const std::string& path, std::string* error);

  // ---- Records ----
  const std::vector<MessageBoxRecord>& MessageBoxes() const { return messageBoxes_; }
  const std::vector<ShellRecord>& ShellRequests() const { return shell_; }
  void SetShellLaunches(bool launch) { shellLaunches_ = launch; }

  // Forgets menus, palettes, dialogs and records (a new session); the
  // windows and the log stay.
  void Reset();
  // Forgets everything whose code lives in the module file at path: menu
  // handlers, palette callbacks, dialogs and hooks. The host calls it before
  // it unloads an add-on, so that nothing calls into a module that is gone.
  void ForgetModuleCode(const std::string& path);

  // ---- Implementation of the SDK calls (used by the C-style entry points) ----
  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  Ui();
  friend struct Impl;
  Log log_;
  Answerer* answerer_ = nullptr;
  HWND mainWindow_ = nullptr, statusBar_ = nullptr;
  GSResModule currentModule_ = 0;
  std::vector<MenuItemState> menus_;
  std::map<std::int32_t, PaletteRegistration> palettes_;
  std::vector<MessageBoxRecord> messageBoxes_;
  std::vector<ShellRecord> shell_;
  bool shellLaunches_ = false;
  std::unique_ptr<Impl> impl_;
};

// Text helpers for logs and prompts.
std::string Utf8(const std::u16string& s);
std::u16string Utf16(const std::string& s);
std::string DialogKindName(DialogKind kind);
// The state as JSON, as the log carries it.
nlohmann::json DialogJson(const DialogState& d);
nlohmann::json MenuJson(const MenuItemState& m);

}  // namespace host::ui
