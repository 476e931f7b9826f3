#include "hostui/answers.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace host::ui {

namespace {

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::string Lower(std::string s) {
  for (auto& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool ParseShort(const std::string& s, short* out, int lo, int hi) {
  if (s.empty() || s.size() > 6) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 10);
  if (errno || *end || v < lo || v > hi) return false;
  *out = static_cast<short>(v);
  return true;
}

}  // namespace

bool ParseDialogActions(const std::string& text, std::vector<DialogAction>* out, std::string* error) {
  out->clear();
  std::stringstream all(text);
  std::string part;
  while (std::getline(all, part, ';')) {
    part = Trim(part);
    if (part.empty()) continue;
    std::istringstream in(part);
    std::string verb, a, b;
    in >> verb >> a >> b;
    std::string rest;
    if (in >> rest) {
      *error = "too many words in \"" + part + "\"";
      return false;
    }
    DialogAction act;
    verb = Lower(verb);
    if (verb == "cancel") {
      act.kind = DialogAction::Cancel;
      if (!a.empty()) {
        *error = "cancel takes no item";
        return false;
      }
      out->push_back(act);
      continue;
    }
    if (!ParseShort(a, &act.item, 1, 32767)) {
      *error = "\"" + part + "\": expected an item number after " + verb;
      return false;
    }
    if (verb == "click" || verb == "tooltip") {
      act.kind = verb == "click" ? DialogAction::Click : DialogAction::Tooltip;
      if (!b.empty()) {
        *error = verb + " takes one item";
        return false;
      }
    } else if (verb == "check") {
      act.kind = DialogAction::Check;
      b = Lower(b);
      if (b != "on" && b != "off") {
        *error = "\"" + part + "\": check needs on or off";
        return false;
      }
      act.on = b == "on";
    } else if (verb == "select") {
      act.kind = DialogAction::Select;
      if (!ParseShort(b, &act.pos, 1, 32767)) {
        *error = "\"" + part + "\": select needs an entry number";
        return false;
      }
    } else if (verb == "set") {
      act.kind = DialogAction::Set;
      char* end = nullptr;
      act.number = b.empty() ? NAN : std::strtod(b.c_str(), &end);
      if (b.empty() || *end || !std::isfinite(act.number)) {
        *error = "\"" + part + "\": set needs a number";
        return false;
      }
    } else {
      *error = "unknown dialog action \"" + verb + "\"";
      return false;
    }
    out->push_back(act);
  }
  return true;
}

std::string ApplyDialogActions(Ui& ui, short dialId, const std::vector<DialogAction>& actions) {
  for (const auto& act : actions) {
    if (!ui.Dialog(dialId)) return "dialog closed before \"" + std::to_string(act.kind) + "\" could act";
    std::string why;
    switch (act.kind) {
      case DialogAction::Click: why = ui.Click(dialId, act.item); break;
      case DialogAction::Check: why = ui.SetCheck(dialId, act.item, act.on); break;
      case DialogAction::Select: why = ui.SelectPopup(dialId, act.item, act.pos); break;
      case DialogAction::Set: why = ui.SetReal(dialId, act.item, act.number); break;
      case DialogAction::Cancel: why = ui.Cancel(dialId); break;
      case DialogAction::Tooltip: ui.Tooltip(dialId, act.item); break;
    }
    if (!why.empty()) return why;
  }
  return "";
}

int MessageBoxAnswerId(const std::string& word) {
  std::string w = Lower(Trim(word));
  if (w == "ok") return IDOK;
  if (w == "cancel") return IDCANCEL;
  if (w == "abort") return IDABORT;
  if (w == "retry") return IDRETRY;
  if (w == "ignore") return IDIGNORE;
  if (w == "yes") return IDYES;
  if (w == "no") return IDNO;
  short v = 0;
  if (ParseShort(w, &v, 1, 7)) return v;
  return 0;
}

bool ScriptedAnswerer::Push(const std::string& text, int line, std::string* error) {
  std::string t = Trim(text);
  auto sp = t.find_first_of(" \t");
  Entry e;
  e.kind = Lower(t.substr(0, sp));
  e.arg = sp == std::string::npos ? "" : Trim(t.substr(sp));
  e.line = line;
  if (e.kind == "alert") {
    if (e.arg.empty()) {
      *error = "alert needs a button number or text";
      return false;
    }
  } else if (e.kind == "msgbox") {
    if (!MessageBoxAnswerId(e.arg)) {
      *error = "msgbox needs ok, cancel, yes, no, abort, retry, ignore or 1..7";
      return false;
    }
  } else if (e.kind == "save") {
    if (e.arg.empty()) {
      *error = "save needs a path or cancel";
      return false;
    }
  } else if (e.kind == "overwrite") {
    std::string a = Lower(e.arg);
    if (a != "yes" && a != "no") {
      *error = "overwrite needs yes or no";
      return false;
    }
  } else if (e.kind == "dialog") {
    std::string actions = e.arg;
    auto first = actions.substr(0, actions.find_first_of(" \t;"));
    short res = 0;
    if (ParseShort(first, &res, 1, 32767)) {
      e.resId = res;
      actions = actions.substr(first.size());
    }
    if (!ParseDialogActions(actions, &e.actions, error)) return false;
  } else {
    *error = "unknown answer kind \"" + e.kind + "\" (alert, msgbox, save, overwrite, dialog)";
    return false;
  }
  queue_.push_back(std::move(e));
  return true;
}

bool ScriptedAnswerer::Take(const std::string& kind, Entry* out) {
  if (queue_.empty() || queue_.front().kind != kind) {
    std::string why = queue_.empty() ? "no answer is queued"
                                     : "the next queued answer (line " + std::to_string(queue_.front().line) +
                                           ") is for " + queue_.front().kind;
    Ui::Get().log().Add("error", "unexpected " + kind + ": " + why, {{"question", kind}, {"reason", why}});
    return false;
  }
  *out = queue_.front();
  queue_.pop_front();
  return true;
}

void ScriptedAnswerer::DrainUnused(Log& log) {
  for (const auto& e : queue_)
    log.Add("error", "answer of line " + std::to_string(e.line) + " (" + e.kind + ") was never asked for",
            {{"line", e.line}, {"answer", e.kind}});
  queue_.clear();
}

int ScriptedAnswerer::Alert(const AlertRequest& request) {
  Entry e;
  if (!Take("alert", &e)) return 0;
  short n = 0;
  if (ParseShort(e.arg, &n, 1, 3)) return n;
  for (std::size_t i = 0; i < request.buttons.size(); ++i)
    if (Lower(Utf8(request.buttons[i])) == Lower(e.arg)) return static_cast<int>(i + 1);
  Ui::Get().log().Add("error", "line " + std::to_string(e.line) + ": the alert has no button \"" + e.arg + "\"",
                      {{"line", e.line}});
  return 0;
}

int ScriptedAnswerer::MessageBox(const MessageBoxRequest&) {
  Entry e;
  return Take("msgbox", &e) ? MessageBoxAnswerId(e.arg) : 0;
}

std::optional<std::u16string> ScriptedAnswerer::SaveFile(const SaveDialogRequest&) {
  Entry e;
  if (!Take("save", &e) || Lower(e.arg) == "cancel") return std::nullopt;
  return Utf16(e.arg);
}

bool ScriptedAnswerer::ConfirmOverwrite(const std::u16string&) {
  Entry e;
  return Take("overwrite", &e) && Lower(e.arg) == "yes";
}

void ScriptedAnswerer::Modal(Ui& ui, short dialId) {
  Entry e;
  if (!Take("dialog", &e)) return;
  const DialogState* d = ui.Dialog(dialId);
  if (e.resId != 0 && d && d->resId != e.resId) {
    ui.log().Add("error",
                 "line " + std::to_string(e.line) + ": answer is for dialog " + std::to_string(e.resId) +
                     " but dialog " + std::to_string(d->resId) + " opened",
                 {{"line", e.line}, {"expected", e.resId}, {"res", d->resId}});
    return;
  }
  std::string why = ApplyDialogActions(ui, dialId, e.actions);
  if (!why.empty())
    ui.log().Add("error", "line " + std::to_string(e.line) + ": " + why, {{"line", e.line}, {"reason", why}});
}

}  // namespace host::ui
