// One hostsim session: a host (host::Host), its user interface
// (host::ui::Ui), the answers queued for its questions, and the commands a
// person or a script gives. Every effect goes to the UI's log, which the
// session prints for people and, optionally, writes as JSON lines.
#pragma once

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host/host.h"
#include "hostui/answers.h"
#include "hostui/ui.h"

namespace hostsim {

struct Options {
  std::string jsonPath;             // JSON lines log ("-" for stdout)
  bool launch = true;               // ShellExecuteW really opens addresses
  bool quiet = false;               // no human log
  bool echo = false;                // print each command before running it
  std::vector<std::string> addons;  // loaded at start
};

// Replaces ${NAME} by the environment variable NAME; false with a reason for
// an unset variable or an unclosed "${".
bool ExpandVariables(const std::string& in, std::string* out, std::string* error);

class Session {
 public:
  Session(const Options& options, std::ostream& human);
  ~Session();

  // Runs one command line. where names it for messages ("file:12").
  // A bad line is logged as an error and returns false; the session goes on.
  bool Execute(const std::string& line, const std::string& where);
  // Runs a script file line by line; false when it could not be read.
  bool RunFile(const std::string& path);
  bool QuitRequested() const { return quit_; }
  std::size_t Errors() const { return ui_.log().ErrorCount(); }

  // Questions nobody queued an answer for go here (interactive use).
  void SetPerson(host::ui::Answerer* person) { answerer_.person = person; }
  // One pass of the host's event loop: idle messages, watched files.
  void Pump();
  // A pass while the host waits for the user: also the periodic update
  // message, at most once a second.
  void PumpWaiting();

  host::Host& host() { return *host_; }
  host::ui::Ui& ui() { return ui_; }
  static std::string Help();

 private:
  struct Answers : host::ui::Answerer {
    host::ui::ScriptedAnswerer queued;
    host::ui::Answerer* person = nullptr;
    bool UseQueue(const char* kind) const { return !person || queued.FrontKind() == kind; }
    int Alert(const host::ui::AlertRequest& r) override {
      return UseQueue("alert") ? queued.Alert(r) : person->Alert(r);
    }
    int MessageBox(const host::ui::MessageBoxRequest& r) override {
      return UseQueue("msgbox") ? queued.MessageBox(r) : person->MessageBox(r);
    }
    std::optional<std::u16string> SaveFile(const host::ui::SaveDialogRequest& r) override {
      return UseQueue("save") ? queued.SaveFile(r) : person->SaveFile(r);
    }
    bool ConfirmOverwrite(const std::u16string& p) override {
      return UseQueue("overwrite") ? queued.ConfirmOverwrite(p) : person->ConfirmOverwrite(p);
    }
    void Modal(host::ui::Ui& ui, short dialId) override {
      if (UseQueue("dialog")) queued.Modal(ui, dialId);
      else person->Modal(ui, dialId);
    }
  };

  using Words = std::vector<std::string>;
  bool Fail(const std::string& where, const std::string& what);
  bool Dispatch(const Words& w, const std::string& where);
  bool CmdLoad(const Words& w, const std::string& where);
  bool CmdMenu(const Words& w, const std::string& where);
  bool CmdPalette(const Words& w, const std::string& where);
  bool CmdDialog(const Words& w, const std::string& where);
  bool CmdEdit(const Words& w, const std::string& where);
  bool CmdShow(const Words& w, const std::string& where);
  bool CmdExpect(const Words& w, const std::string& where);
  bool CmdCamera(const Words& w, const std::string& where);
  bool CmdWindowSize(const Words& w, const std::string& where);
  bool CmdSet(const Words& w, const std::string& where);
  bool CmdFault(const Words& w, const std::string& where);
  bool CmdSignal(const Words& w, const std::string& where);
  bool ShowProjectState(const std::string& what, bool* handled);
  bool ExpectProjectState(const Words& w, const std::string& where, bool* handled);
  bool Check(const hostmodel::Status& status, const std::string& where, const std::string& what);
  short PaletteDialog() const;
  void ForgetAddon(const std::string& path, GSResModule res);
  host::AddonId CurrentAddon() const;
  void PrintMenus();
  void PrintDialog(short dialId);

  Options options_;
  std::ostream& human_;
  std::ofstream jsonFile_;
  std::ostream* json_ = nullptr;
  host::ui::Ui& ui_;
  std::unique_ptr<host::Host> host_;
  Answers answerer_;
  std::vector<std::pair<host::AddonId, GSResModule>> addons_;
  bool quit_ = false;
  std::chrono::steady_clock::time_point lastUpdate_{};
  int sink_ = 0;
  int line_ = 0;
};

}  // namespace hostsim
