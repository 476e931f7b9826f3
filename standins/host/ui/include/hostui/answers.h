// Answers to the host's questions given ahead of time, as scripts and tests
// do: a queue consumed in order. Each answer is one line of text:
//
//   alert BUTTON            button number from 1 or its text ("Yes")
//   msgbox BUTTON           ok, cancel, yes, no, abort, retry, ignore or an id
//   save PATH | save cancel the save dialog's choice (relative to its folder)
//   overwrite yes|no        whether to replace an existing file
//   dialog [RESID] ACTIONS  actions on the next modal dialog, separated by
//                           ";": click ITEM, check ITEM on|off, select ITEM
//                           POS, set ITEM NUMBER, tooltip ITEM, cancel
//
// A question that finds no answer of its kind at the front of the queue is
// logged as an error and gets the answer that commits to nothing.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "hostui/ui.h"

namespace host::ui {

struct DialogAction {
  enum Kind { Click, Check, Select, Set, Cancel, Tooltip } kind = Click;
  short item = 0;
  short pos = 0;
  bool on = false;
  double number = 0.0;
};
// Parses "click 5; check 2 off; ..."; false with a reason on bad text.
bool ParseDialogActions(const std::string& text, std::vector<DialogAction>* out, std::string* error);
// Applies actions to an open dialog until it closes or they run out; stops
// at the first refused action and returns its reason ("" when all went).
std::string ApplyDialogActions(Ui& ui, short dialId, const std::vector<DialogAction>& actions);

// Button id of a message-box answer word or number, 0 when unknown.
int MessageBoxAnswerId(const std::string& word);

class ScriptedAnswerer : public Answerer {
 public:
  // Queues one answer line (without its leading "answer"); false with a
  // reason when the line is malformed. line is kept for messages.
  bool Push(const std::string& text, int line, std::string* error);
  std::size_t Pending() const { return queue_.size(); }
  // Kind of the next queued answer ("alert", ...), empty when none.
  std::string FrontKind() const { return queue_.empty() ? std::string() : queue_.front().kind; }
  // Drops unused answers, logging each as an error (end of a script).
  void DrainUnused(Log& log);

  int Alert(const AlertRequest& request) override;
  int MessageBox(const MessageBoxRequest& request) override;
  std::optional<std::u16string> SaveFile(const SaveDialogRequest& request) override;
  bool ConfirmOverwrite(const std::u16string& path) override;
  void Modal(Ui& ui, short dialId) override;

 private:
  struct Entry {
    std::string kind;  // alert, msgbox, save, overwrite, dialog
    std::string arg;
    int line = 0;
    short resId = 0;
    std::vector<DialogAction> actions;
  };
  bool Take(const std::string& kind, Entry* out);
  std::deque<Entry> queue_;
};

}  // namespace host::ui
