// hostsim: the host stand-in as a person or a script drives it.
//   hostsim [options]            interactive prompt (line editing and history on
//                                Linux)
//   hostsim [options] run FILE   runs a script; exit status 1 when any line
//                                failed or an expectation did not hold
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <cstdlib>
#include <iostream>
#include <string>

#include "export.h"
#include "prompt.h"
#include "session.h"

namespace {

using host::ui::Utf16;
using host::ui::Utf8;

bool Ask(const std::string& prompt, std::string* out) { return hostsim::AskLine(prompt, out); }

// Asks the person at the prompt whatever the host wants to know.
class Person : public host::ui::Answerer {
 public:
  explicit Person(hostsim::Session& s) : session_(s) {}

  using Asking = hostsim::AskingQuestion;
  int Alert(const host::ui::AlertRequest& r) override {
    Asking asking;
    std::cout << "\n== " << Utf8(r.title) << "\n" << Utf8(r.message) << "\n";
    for (std::size_t i = 0; i < r.buttons.size(); ++i) std::cout << "  " << i + 1 << ") " << Utf8(r.buttons[i]) << "\n";
    std::string line;
    while (Ask("button> ", &line)) {
      for (std::size_t i = 0; i < r.buttons.size(); ++i)
        if (line == std::to_string(i + 1) || line == Utf8(r.buttons[i])) return static_cast<int>(i + 1);
      std::cout << "answer with a number or a button's text\n";
    }
    return 0;
  }
  int MessageBox(const host::ui::MessageBoxRequest& r) override {
    Asking asking;
    std::cout << "\n== " << Utf8(r.caption) << "\n" << Utf8(r.text) << "\n";
    std::string line;
    while (Ask("ok/cancel/yes/no/...> ", &line)) {
      int id = host::ui::MessageBoxAnswerId(line);
      if (id) return id;
    }
    return 0;
  }
  std::optional<std::u16string> SaveFile(const host::ui::SaveDialogRequest& r) override {
    Asking asking;
    std::cout << "\n== " << Utf8(r.title) << " (folder \"" << Utf8(r.initialDir) << "\", proposed \""
              << Utf8(r.proposal) << "\")\n";
    for (const auto& [d, p] : r.filters) std::cout << "  " << Utf8(d) << " (" << Utf8(p) << ")\n";
    std::string line;
    if (!Ask("file name (empty = proposal, \"cancel\")> ", &line) || line == "cancel") return std::nullopt;
    if (line.empty()) {
      if (r.proposal.empty()) return std::nullopt;
      return r.proposal;
    }
    return Utf16(line);
  }
  bool ConfirmOverwrite(const std::u16string& path) override {
    Asking asking;
    std::string line;
    std::cout << Utf8(path) << " exists.\n";
    return Ask("replace it? (yes/no)> ", &line) && (line == "yes" || line == "y");
  }
  void Modal(host::ui::Ui& ui, short dialId) override {
    Asking asking;
    std::cout
        << "\n== dialog open; act on it: click N, check N on|off, select N POS, set N X, tooltip N, cancel, show\n";
    session_.Execute("show dialogs", "");
    std::string line;
    while (ui.Dialog(dialId) && Ask("dialog> ", &line)) {
      if (line == "show") {
        session_.Execute("show dialogs", "");
        continue;
      }
      std::vector<host::ui::DialogAction> actions;
      std::string why;
      if (!host::ui::ParseDialogActions(line, &actions, &why)) {
        std::cout << why << "\n";
        continue;
      }
      why = host::ui::ApplyDialogActions(ui, dialId, actions);
      if (!why.empty()) std::cout << why << "\n";
    }
  }

 private:
  hostsim::Session& session_;
};

std::string HistoryPath() {
  if (const char* p = std::getenv("HOSTSIM_HISTORY")) return p;
  if (const char* h = std::getenv("HOME")) return std::string(h) + "/.hostsim_history";
  return "";
}

}  // namespace

static int RunHostsim(int argc, char** argv) {
  CLI::App app{
      "hostsim: the host stand-in. Loads add-on modules, opens projects and models, and lets a person\n"
      "or a script use the host's menus, palettes, dialogs, alerts, message boxes and save dialog.\n"
      "Every effect a user could see is printed, and with --json written as JSON lines.\n"
      "Type \"help\" at the prompt for the commands (docs/hostsim.md describes them)."};
  hostsim::Options options;
  std::string script;
  app.add_option("--json", options.jsonPath, "write every logged event as one JSON object per line (\"-\": stdout)");
  app.add_flag("--quiet", options.quiet, "print no log lines for people");
  app.add_flag("--echo", options.echo, "print each command before it runs");
  bool noLaunch = false;
  app.add_flag("--no-launch", noLaunch, "record web addresses the add-on opens instead of opening them");
  app.add_option("--addon", options.addons, "load an add-on module at start (repeatable)");
  auto* run = app.add_subcommand("run", "run a script of commands, one per line");
  run->add_option("FILE", script, "the script")->required();
  auto* commands = app.add_subcommand("commands", "list the commands and exit");
  hostsim::ExportOptions exportOptions;
  std::vector<std::string> settings;
  auto* exporter = app.add_subcommand(
      "export",
      "write a model as a COLLADA document through the add-on's \"dae\" file type (exit 0 written, 1 the\n"
      "add-on failed, 2 the model, the destination or the module cannot be used)");
  exporter->add_option("MODEL", exportOptions.model, "a native project (.pln) or a model file (OBJ, glTF, FBX, ...)")
      ->required();
  exporter->add_option("-o,--output", exportOptions.output, "the document to write (OUT.dae)")->required();
  exporter->add_option("--module", exportOptions.module,
                       "the add-on module (default: " + hostsim::DefaultAddonModule() + ")");
  exporter->add_option("--setting", settings,
                       "NAME=VALUE: an add-on setting for this export only (numbers as DWORD), repeatable");
  exporter->add_flag("--quiet", exportOptions.quiet, "no progress lines");
  CLI11_PARSE(app, argc, argv);
  options.launch = !noLaunch;

  if (exporter->parsed()) {
    for (const auto& s : settings) {
      const auto eq = s.find('=');
      if (eq == std::string::npos || eq == 0) {
        std::fprintf(stderr, "hostsim export: --setting %s: expected NAME=VALUE\n", s.c_str());
        return 2;
      }
      exportOptions.settings.emplace_back(s.substr(0, eq), s.substr(eq + 1));
    }
    return hostsim::RunExport(exportOptions, std::cerr);
  }

  if (commands->parsed()) {
    std::cout << hostsim::Session::Help();
    return 0;
  }

  if (run->parsed()) {
    std::size_t errors = 0;
    bool read = false;
    {
      hostsim::Session session(options, options.jsonPath == "-" ? std::cerr : std::cout);
      read = session.RunFile(script);
      errors = session.Errors();
    }
    // Errors at shutdown (answers never asked for) count too.
    errors = std::max(errors, host::ui::Ui::Get().log().ErrorCount());
    if (!read) {
      std::fprintf(stderr, "hostsim: cannot read script %s\n", script.c_str());
      return 2;
    }
    if (errors) std::fprintf(stderr, "hostsim: %zu error(s) in %s\n", errors, script.c_str());
    return errors ? 1 : 0;
  }

  hostsim::Session session(options, std::cout);
  Person person(session);
  session.SetPerson(&person);
  hostsim::OpenPrompt(&session, HistoryPath());
  std::cout << "hostsim: type \"help\" for commands, \"quit\" to leave.\n";
  std::string line;
  while (!session.QuitRequested() && Ask("hostsim> ", &line)) session.Execute(line, "");
  hostsim::ClosePrompt();
  session.SetPerson(nullptr);
  return 0;
}

int main(int argc, char** argv) {
  // What no command handles itself (memory running out, a host call that
  // throws past the session) still ends with a message and an exit code,
  // not with an abort.
  try {
    return RunHostsim(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hostsim: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "hostsim: unexpected failure\n");
  }
  return 1;
}
