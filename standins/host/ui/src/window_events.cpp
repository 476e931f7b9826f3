// What happens to the host's windows, told the same way on both platforms:
// the buttons of a message box style, a window's new title or icon, a
// message box shown and answered. On Linux the host's own Win32 calls report
// here (posix/windows.cpp); on Windows the host's window procedure and its
// CBT hook do (win/).
#include "impl.h"

namespace host::ui {

std::vector<int> MessageBoxButtons(UINT style) {
  switch (style & 0xF) {
    case MB_OK: return {IDOK};
    case MB_OKCANCEL: return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO: return {IDYES, IDNO};
    case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
  }
  return {};
}

std::string MessageBoxButtonName(int id) {
  switch (id) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDABORT: return "Abort";
    case IDRETRY: return "Retry";
    case IDIGNORE: return "Ignore";
    case IDYES: return "Yes";
    case IDNO: return "No";
  }
  return "?";
}

bool NoteWindowText(HostWindow& w, const std::u16string& text) {
  const bool changed = w.title != text;
  // The status bar logs every write, one of the same text as unchanged, so
  // that redundant writes can be seen.
  if (w.kind == "statusbar")
    U().log().Add(changed ? "statusbar" : "statusbar.unchanged",
                  "status bar: " + Utf8(text) + (changed ? "" : " (unchanged)"),
                  {{"text", Utf8(text)}, {"changed", changed}});
  if (!changed) return false;
  w.title = text;
  if (w.kind != "statusbar")
    U().log().Add("window.text", w.kind + " title: " + Utf8(text), {{"window", w.kind}, {"text", Utf8(text)}});
  return true;
}

short NoteWindowIcon(HostWindow& w, bool small, short id) {
  short& slot = small ? w.smallIcon : w.bigIcon;
  const short previous = slot;
  slot = id;
  // A dialog's state carries the icon its window shows.
  if (small)
    for (auto& [did, d] : I().dialogs)
      if (d.window == w.handle) d.smallIcon = id;
  U().log().Add("window.icon",
                w.kind + " \"" + Utf8(w.title) + "\" " + (small ? "small" : "big") + " icon " + std::to_string(id),
                {{"window", w.kind}, {"title", Utf8(w.title)}, {"which", small ? "small" : "big"}, {"icon", id}});
  return previous;
}

void NoteMessageBoxShown(const MessageBoxRequest& req) {
  nlohmann::json j = {{"caption", Utf8(req.caption)},
                      {"text", Utf8(req.text)},
                      {"style", req.style},
                      {"owner", HandleText(req.owner)},
                      {"ownerIsMain", req.owner != nullptr && req.owner == U().MainWindow()}};
  U().log().Add("msgbox.show", "message box \"" + Utf8(req.caption) + "\": " + Utf8(req.text), j);
}

int UsableMessageBoxButton(const MessageBoxRequest& req, int button) {
  const auto buttons = MessageBoxButtons(req.style);
  if (buttons.empty() || std::find(buttons.begin(), buttons.end(), button) != buttons.end()) return button;
  const int fallback = buttons.size() == 1                                                    ? buttons[0]
                       : std::find(buttons.begin(), buttons.end(), IDCANCEL) != buttons.end() ? IDCANCEL
                                                                                              : buttons.back();
  // An answerer that had nothing to say has reported that already.
  const bool reported = button == 0 && U().answerer();
  U().log().Add(reported ? "fallback" : "error",
                "message box \"" + Utf8(req.caption) + "\": no usable answer (" + std::to_string(button) +
                    "), pressing " + MessageBoxButtonName(fallback),
                {{"caption", Utf8(req.caption)}, {"answer", button}});
  return fallback;
}

void NoteMessageBoxAnswered(const MessageBoxRecord& rec) {
  U().log().Add("msgbox.answer", "message box answered " + MessageBoxButtonName(rec.button),
                {{"caption", Utf8(rec.caption)},
                 {"text", Utf8(rec.text)},
                 {"style", rec.style},
                 {"button", rec.button},
                 {"buttonName", MessageBoxButtonName(rec.button)},
                 {"smallIcon", rec.smallIcon},
                 {"ownerIsMain", rec.owner != nullptr && rec.owner == U().MainWindow()}});
  I().MessageBoxRecords().push_back(rec);
}

}  // namespace host::ui
