// The host's answers to the system's own dialogs on Windows. There, message
// boxes and the common save dialog are user32's and comdlg32's: modal, with
// message loops of their own. The host answers them as a person would, from
// the CBT hook of its user-interface thread: when such a dialog is
// activated it asks the answerer (a script's queue, the prompt) and presses
// the button, or types the chosen path and presses Save. Each question is
// logged as the Linux build logs it; a box is recorded when it goes.
#include <map>
#include <set>

#include "base/windows_text.h"
#include "impl.h"

namespace host::ui {
namespace {

constexpr int kMessageBoxText = 0xFFFF;  // a message box's text (a static)
constexpr int kFileNameCombo = 0x47C;    // cmb13: an Explorer-style file dialog's file name
constexpr int kFileNameEdit = 0x480;     // edt1: the same in the older style

struct AnsweringState {
  HHOOK hook = nullptr;
  DWORD thread = 0;
  std::map<HWND, MessageBoxRecord> boxes;  // answered, recorded when they go
  std::set<HWND> answeredSaveDialogs;      // asked again after a declined replace
  std::u16string lastChosenPath;           // what the last save dialog was given
};
AnsweringState& State() {
  static AnsweringState state;
  return state;
}

std::u16string TextOf(HWND window) {
  if (window == nullptr) return {};
  const int length = GetWindowTextLengthW(window);
  if (length <= 0) return {};
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return base::FromWide(text);
}

bool IsDialogClass(HWND window) {
  wchar_t name[16] = {};
  return GetClassNameW(window, name, 16) > 0 && std::wstring(name) == L"#32770";
}

bool ButtonShown(HWND dialog, int id) {
  HWND button = GetDlgItem(dialog, id);
  return button != nullptr && (GetWindowLongW(button, GWL_STYLE) & WS_VISIBLE) != 0;
}

// The button set a message box shows, as the style that asks for it; the
// icon a box shows is the system's and is not told.
UINT ButtonStyle(HWND box) {
  if (ButtonShown(box, IDABORT)) return MB_ABORTRETRYIGNORE;
  if (ButtonShown(box, IDYES)) return ButtonShown(box, IDCANCEL) ? MB_YESNOCANCEL : MB_YESNO;
  if (ButtonShown(box, IDRETRY)) return MB_RETRYCANCEL;
  if (ButtonShown(box, IDCANCEL)) return MB_OKCANCEL;
  return MB_OK;
}

void Press(HWND dialog, int id) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

bool IsOurs(HWND window) { return I().FindWindow(window) != nullptr; }

// The edit field of a file dialog's file name. In the Explorer style it
// lies inside a combo box inside an extended combo box, all three with the
// file name's id; typing goes to the edit field.
HWND FileNameField(HWND dialog) {
  struct Search {
    HWND edit = nullptr;
  } search;
  EnumChildWindows(
      dialog,
      [](HWND child, LPARAM context) -> BOOL {
        const int id = GetDlgCtrlID(child);
        if (id != kFileNameCombo && id != kFileNameEdit) return TRUE;
        wchar_t name[16] = {};
        if (GetClassNameW(child, name, 16) == 0 || lstrcmpiW(name, L"Edit") != 0) return TRUE;
        reinterpret_cast<Search*>(context)->edit = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.edit;
}

void AnswerSaveDialog(HWND dialog, HWND fileName) {
  SaveDialogRequest req;
  req.title = TextOf(dialog);
  req.proposal = TextOf(fileName);
  U().log().Add("savedialog.show", "save dialog \"" + Utf8(req.title) + "\" proposing \"" + Utf8(req.proposal) + "\"",
                {{"title", Utf8(req.title)},
                 {"proposal", Utf8(req.proposal)},
                 {"ownerIsMain", GetWindow(dialog, GW_OWNER) == U().MainWindow()}});
  State().answeredSaveDialogs.insert(dialog);
  std::optional<std::u16string> chosen = U().answerer() ? U().answerer()->SaveFile(req) : std::nullopt;
  if (!chosen || chosen->empty()) {
    U().log().Add("savedialog.answer", "save dialog cancelled", {{"cancelled", true}});
    Press(dialog, IDCANCEL);
    return;
  }
  // A folder typed as the name is opened by the dialog, which then waits
  // for the user again: ask again at once (the posted presses run in
  // order), as the Linux host's dialog does.
  for (int round = 0; round < 16; ++round) {
    const DWORD attributes = GetFileAttributesW(base::WideText(chosen->c_str()));
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) break;
    SetWindowTextW(fileName, base::WideText(chosen->c_str()));
    U().log().Add("savedialog.answer", "save dialog opened \"" + Utf8(*chosen) + "\"",
                  {{"cancelled", false}, {"path", Utf8(*chosen)}, {"folder", true}});
    Press(dialog, IDOK);
    chosen = U().answerer()->SaveFile(req);
    if (!chosen || chosen->empty()) {
      U().log().Add("savedialog.answer", "save dialog cancelled", {{"cancelled", true}});
      Press(dialog, IDCANCEL);
      return;
    }
  }
  // The dialog itself makes a bare name a path in the folder it shows, and
  // asks before it replaces a file.
  State().lastChosenPath = *chosen;
  SetWindowTextW(fileName, base::WideText(chosen->c_str()));
  U().log().Add("savedialog.answer", "save dialog chose \"" + Utf8(*chosen) + "\"",
                {{"cancelled", false}, {"path", Utf8(*chosen)}});
  Press(dialog, IDOK);
}

void AnswerMessageBox(HWND box) {
  MessageBoxRequest req;
  req.owner = GetWindow(box, GW_OWNER);
  req.window = box;
  req.caption = TextOf(box);
  req.text = TextOf(GetDlgItem(box, kMessageBoxText));
  req.style = ButtonStyle(box);
  if (State().answeredSaveDialogs.count(req.owner) != 0 && req.style == MB_YESNO) {
    // The save dialog asks whether to replace the file chosen.
    const std::u16string& path = State().lastChosenPath;
    const bool replace = U().answerer() && U().answerer()->ConfirmOverwrite(path);
    U().log().Add("savedialog.overwrite", "replace \"" + Utf8(path) + "\"? " + (replace ? "yes" : "no"),
                  {{"path", Utf8(path)}, {"replace", replace}});
    // Declined, the save dialog comes back and asks for another path.
    if (!replace) State().answeredSaveDialogs.erase(req.owner);
    Press(box, replace ? IDYES : IDNO);
    return;
  }
  NoteMessageBoxShown(req);
  int button = U().answerer() ? U().answerer()->MessageBox(req) : 0;
  button = UsableMessageBoxButton(req, button);
  MessageBoxRecord rec;
  rec.caption = req.caption;
  rec.text = req.text;
  rec.style = req.style;
  rec.owner = req.owner;
  rec.button = button;
  State().boxes[box] = rec;
  Press(box, button);
}

LRESULT CALLBACK AnsweringHook(int code, WPARAM wParam, LPARAM lParam) {
  auto* window = reinterpret_cast<HWND>(wParam);
  if (code == HCBT_ACTIVATE && window != nullptr && IsDialogClass(window) && !IsOurs(window) &&
      State().boxes.count(window) == 0) {
    HWND fileName = FileNameField(window);
    if (fileName != nullptr) {
      if (State().answeredSaveDialogs.count(window) == 0) AnswerSaveDialog(window, fileName);
    } else if (GetDlgItem(window, kMessageBoxText) != nullptr) {
      AnswerMessageBox(window);
    }
  } else if (code == HCBT_DESTROYWND && window != nullptr) {
    auto box = State().boxes.find(window);
    if (box != State().boxes.end()) {
      // The icon the add-on gave the box while it was up.
      box->second.smallIcon = RSIconId(reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, ICON_SMALL, 0)));
      NoteMessageBoxAnswered(box->second);
      State().boxes.erase(box);
    }
    State().answeredSaveDialogs.erase(window);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

void Ui::Impl::AttachToThread() {
  AnsweringState& state = State();
  const DWORD me = GetCurrentThreadId();
  if (state.hook != nullptr && state.thread == me) return;
  if (state.hook != nullptr) UnhookWindowsHookEx(state.hook);
  state.hook = SetWindowsHookExW(WH_CBT, AnsweringHook, nullptr, me);
  state.thread = state.hook != nullptr ? me : 0;
  if (state.hook == nullptr)
    U().log().Add("error", "cannot answer message boxes: no CBT hook (error " + std::to_string(GetLastError()) + ")",
                  nlohmann::json::object());
}

}  // namespace host::ui
