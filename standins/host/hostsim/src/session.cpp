#include "session.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "signals.h"
#include "words.h"

namespace hostsim {

using host::ui::Utf16;
using host::ui::Utf8;
using nlohmann::json;

namespace {

const char* kHelp = R"(Commands (words in CAPITALS are yours; quote texts with blanks):
  load PATH                 load an add-on module (its resources, then the loader protocol)
  unload                    free and unload the add-ons
  new [reset] | sample | open PATH        a new project (reset: project event 2), the sample building,
                            a project or model file
  teamwork PATH URL         open a model as a teamwork project at URL
  save | saveas PATH | close
  window 3d|plan|section|detail|layout     make that window current
  window size WIDTH HEIGHT  the 3D window's drawing rectangle (pixels)
  projection perspective|parallel          the 3D projection
  camera move DX DY DZ      walk the 3D camera (metres)
  camera set EX EY EZ TX TY TZ [ROLL [ANGLE]]   eye, target, roll and view angle (degrees)
  set levels [NAME HEIGHT]... | set sealevel METRES | set units m|cm|mm|ft-in|in | set version TEXT
                            project settings (version: the text 'GMAP' reports)
  fault SELECTOR|sight CODE|off | fault off    make a host request fail with CODE (e.g. GWIN 0x81060001)
  menu ID [ITEM] | menu "TEXT"             choose a menu command
  palette click ITEM | palette tooltip ITEM | palette close | palette png FILE
  palette control close|hide|show|disable|enable|open|visible|N [REF]
  dialog RESID ACTIONS      act on an open modeless dialog (actions as for answers)
  answer alert BUTTON | answer msgbox ok|cancel|yes|no|... | answer save PATH|cancel
  answer overwrite yes|no | answer dialog [RESID] click N; check N on|off; select N POS; set N X; tooltip N; cancel
                            queue answers for the next questions (scripts); interactive use asks you
  edit move|copy GUID DX DY DZ | edit delete GUID | edit material GUID N
  edit color MAT R G B | edit transparency MAT PERCENT | edit box X0 Y0 Z0 X1 Y1 Z1 MAT
  edit texture MAT N | edit texture MAT FILE XSIZE YSIZE | edit delete-material MAT [REPLACEMENT|none]
  watch [PATH] | unwatch | reload          follow a model file on disk
  save3d PATH               save the 3D window through an add-on file type
  idle [N] | wait MS        run the host's idle loop (N passes, or for MS milliseconds)
  idle update               send the periodic update message (16383) to the modeless dialogs now
  signal NAME | await NAME [MS]           raise a signal another hostsim waits for, or wait for one
  show menus|palette|dialogs|status|project|elements|messageboxes|shell|camera|settings|autotexts|log [N]
  expect status TEXT | expect menu ID enabled|disabled|checked|unchecked | expect menutext ID TEXT
  expect palette ITEM enabled|disabled|icon N | expect tooltip ITEM TEXT | expect errors N
  expect autotext NAME|KEY VALUE|none | expect window 3d|plan|... | expect projection perspective|parallel
  expect version TEXT
  echo TEXT | help | quit
${NAME} anywhere in a line is replaced by the environment variable NAME.
)";

}  // namespace

bool ExpandVariables(const std::string& in, std::string* out, std::string* error) {
  out->clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '$' || i + 1 >= in.size() || in[i + 1] != '{') {
      out->push_back(in[i]);
      continue;
    }
    auto end = in.find('}', i + 2);
    if (end == std::string::npos) {
      *error = "\"${\" without \"}\"";
      return false;
    }
    std::string name = in.substr(i + 2, end - i - 2);
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (!value) {
      *error = "environment variable \"" + name + "\" is not set";
      return false;
    }
    *out += value;
    i = end;
  }
  return true;
}

Session::Session(const Options& options, std::ostream& human)
    : options_(options), human_(human), ui_(host::ui::Ui::Get()) {
  if (options_.jsonPath == "-") {
    json_ = &std::cout;
  } else if (!options_.jsonPath.empty()) {
    jsonFile_.open(options_.jsonPath, std::ios::trunc);
    if (jsonFile_) json_ = &jsonFile_;
    else human_ << "hostsim: cannot write " << options_.jsonPath << "\n";
  }
  sink_ = ui_.log().AddSink([this](const host::ui::LogEvent& e) {
    if (json_) {
      *json_ << host::ui::ToJsonLine(e) << "\n";
      json_->flush();
    }
    if (!options_.quiet && (e.kind != "command" || options_.echo)) {
      std::string kind = e.kind;
      if (kind.size() < 16) kind.resize(16, ' ');
      // Multi-line texts (alert messages) continue indented under their kind.
      std::string text;
      for (char ch : e.text) {
        if (ch == '\r') continue;
        text.push_back(ch);
        if (ch == '\n') text.append(17, ' ');
      }
      human_ << kind << " " << text << "\n";
      human_.flush();
    }
  });
  ui_.SetShellLaunches(options_.launch);
  ui_.SetAnswerer(&answerer_);
  host_ = std::make_unique<host::Host>();
  host_->SetLogListener([this](const host::LogEntry& entry) {
    ui_.log().Add("host." + entry.category, entry.text, {{"category", entry.category}, {"text", entry.text}});
  });
  for (const auto& [index, fn] : host::ui::Ui::TableEntries())
    if (!host_->Table().Set(index, fn))
      ui_.log().Add("error", "function table entry " + std::to_string(index) + " is taken", {{"index", index}});
  if (host_->MainWindow()) ui_.SetMainWindow(host_->MainWindow());
  else ui_.EnsureMainWindow(u"Host");
  for (const auto& path : options_.addons) CmdLoad({"load", path}, "--addon");
}

// The module stays mapped while its resources are open, so what it left
// behind (a palette, a hook installed in FreeData) can still be told apart
// by its code addresses; then the resources go and the module with them.
void Session::ForgetAddon(const std::string& path, GSResModule res) {
  ui_.ForgetModuleCode(path);
  if (res) ui_.CloseModuleResources(res);
}

Session::~Session() {
  ui_.SetAnswerer(&answerer_);
  std::vector<std::pair<std::string, GSResModule>> loaded;
  for (const auto& [id, res] : addons_) {
    const host::AddonRecord* rec = host_->Addon(id);
    loaded.emplace_back(rec ? rec->path : ui_.ModulePath(res), res);
  }
  host_->Quit();
  for (const auto& [path, res] : loaded) ForgetAddon(path, res);
  host_.reset();
  answerer_.queued.DrainUnused(ui_.log());
  ui_.Reset();
  ui_.DestroyWindows();
  ui_.SetAnswerer(nullptr);
  ui_.log().RemoveSink(sink_);
}

std::string Session::Help() { return kHelp; }

bool Session::Fail(const std::string& where, const std::string& what) {
  std::string text = where.empty() ? what : where + ": " + what;
  ui_.log().Add("error", text, {{"where", where}, {"reason", what}, {"line", line_}});
  return false;
}

bool Session::Check(const hostmodel::Status& status, const std::string& where, const std::string& what) {
  if (status.ok()) return true;
  return Fail(where, what + ": " + status.error());
}

host::AddonId Session::CurrentAddon() const { return addons_.empty() ? 0 : addons_.back().first; }

short Session::PaletteDialog() const {
  short found = 0;
  for (short id : ui_.OpenDialogs())
    if (ui_.Dialog(id)->kind == host::ui::DialogKind::Palette) found = id;
  return found;
}

void Session::Pump() {
  host::Host::AddonScope scope(*host_, CurrentAddon());
  ui_.Idle();
  if (host_->IsWatching()) host_->ProcessEvents();
}

bool Session::RunFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    Fail(path, "cannot read the script");
    return false;
  }
  std::string line;
  int n = 0;
  while (!quit_ && std::getline(in, line)) {
    ++n;
    line_ = n;
    Execute(line, path + ":" + std::to_string(n));
  }
  line_ = 0;
  return true;
}

bool Session::Execute(const std::string& rawLine, const std::string& where) {
  Words w;
  std::string error;
  std::string line;
  if (!ExpandVariables(rawLine, &line, &error)) return Fail(where, error);
  if (!SplitWords(line, &w, &error)) return Fail(where, error);
  if (w.empty()) return true;
  ui_.log().Add("command", line, {{"where", where}, {"line", line_}, {"command", line}});
  bool ok = Dispatch(w, where);
  // Between commands the host is idle: its idle loop runs once.
  if (!quit_) Pump();
  return ok;
}

bool Session::Dispatch(const Words& w, const std::string& where) {
  const std::string& c = w[0];
  auto args = [&](std::size_t lo, std::size_t hi) { return w.size() - 1 >= lo && w.size() - 1 <= hi; };
  if (c == "help") {
    human_ << kHelp;
    return true;
  }
  if (c == "quit" || c == "exit") {
    quit_ = true;
    return true;
  }
  if (c == "echo") {
    ui_.log().Add("echo", Join(w, 1), {{"text", Join(w, 1)}});
    return true;
  }
  if (c == "load") return CmdLoad(w, where);
  if (c == "unload") {
    if (!args(0, 0)) return Fail(where, "usage: unload");
    while (!addons_.empty()) {
      auto [id, res] = addons_.back();
      addons_.pop_back();
      const host::AddonRecord* rec = host_->Addon(id);
      std::string path = rec ? rec->path : ui_.ModulePath(res);
      Check(host_->UnloadAddon(id), where, "unload");
      ForgetAddon(path, res);
    }
    return true;
  }
  if (c == "new" && args(0, 1)) {
    if (w.size() == 2 && w[1] != "reset") return Fail(where, "usage: new [reset]");
    return Check(host_->NewProject(w.size() == 2), where, "new project");
  }
  if (c == "sample" && args(0, 0)) return Check(host_->OpenSampleProject(), where, "sample project");
  if (c == "open" && args(1, 1)) return Check(host_->OpenProject(w[1]), where, "open " + w[1]);
  if (c == "teamwork" && args(2, 2)) return Check(host_->OpenTeamworkProject(w[1], w[2]), where, "teamwork");
  if (c == "save" && args(0, 0)) return Check(host_->SaveProject(), where, "save");
  if (c == "saveas" && args(1, 1)) return Check(host_->SaveProjectAs(w[1]), where, "save as " + w[1]);
  if (c == "close" && args(0, 0)) return Check(host_->CloseProject(), where, "close");
  if (c == "window" && w.size() >= 2 && w[1] == "size") return CmdWindowSize(w, where);
  if (c == "window" && args(1, 1)) {
    static const std::pair<const char*, hostmodel::WindowType> names[] = {{"3d", hostmodel::WindowType::ThreeD},
                                                                          {"plan", hostmodel::WindowType::FloorPlan},
                                                                          {"section", hostmodel::WindowType::Section},
                                                                          {"detail", hostmodel::WindowType::Detail},
                                                                          {"layout", hostmodel::WindowType::Layout}};
    for (const auto& [name, type] : names)
      if (w[1] == name) return Check(host_->SwitchWindow(type), where, "window " + w[1]);
    return Fail(where, "unknown window \"" + w[1] + "\" (3d, plan, section, detail, layout)");
  }
  if (c == "projection" && args(1, 1)) {
    if (w[1] != "perspective" && w[1] != "parallel") return Fail(where, "projection perspective|parallel");
    return Check(host_->SetProjection(w[1] == "perspective"), where, "projection");
  }
  if (c == "camera" && w.size() >= 2) return CmdCamera(w, where);
  if (c == "set") return CmdSet(w, where);
  if (c == "fault") return CmdFault(w, where);
  if (c == "signal" || c == "await") return CmdSignal(w, where);
  if (c == "menu") return CmdMenu(w, where);
  if (c == "palette") return CmdPalette(w, where);
  if (c == "dialog") return CmdDialog(w, where);
  if (c == "answer") {
    if (w.size() < 2) return Fail(where, "usage: answer alert|msgbox|save|overwrite|dialog ...");
    std::string error;
    if (!answerer_.queued.Push(Join(w, 1), line_, &error)) return Fail(where, error);
    return true;
  }
  if (c == "edit") return CmdEdit(w, where);
  if (c == "watch" && args(0, 1)) return Check(host_->WatchModelFile(w.size() > 1 ? w[1] : ""), where, "watch");
  if (c == "unwatch" && args(0, 0)) {
    host_->StopWatching();
    return true;
  }
  if (c == "reload" && args(0, 0)) {
    auto r = host_->ReloadModelFile();
    return r.ok() ? true : Fail(where, "reload: " + r.error());
  }
  if (c == "save3d" && args(1, 1)) {
    host::Host::AddonScope scope(*host_, CurrentAddon());
    return Check(host_->Save3D(w[1]), where, "save 3D as " + w[1]);
  }
  if (c == "idle" && w.size() == 2 && w[1] == "update") {
    host::Host::AddonScope scope(*host_, CurrentAddon());
    const int sent = ui_.Update();
    if (sent == 0) ui_.log().Add("dialog.update", "no dialog to update", {{"dialogs", json::array()}});
    return true;
  }
  if (c == "idle" && args(0, 1)) {
    long n = 1;
    if (w.size() > 1 && !Integer(w[1], &n, 1, 100000)) return Fail(where, "idle [N] with N from 1 to 100000");
    for (long i = 0; i < n; ++i) Pump();
    return true;
  }
  if (c == "wait" && args(1, 1)) {
    long ms = 0;
    if (!Integer(w[1], &ms, 0, 600000)) return Fail(where, "wait MS with MS from 0 to 600000");
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      PumpWaiting();
      std::this_thread::sleep_for(kIdlePeriod);
    }
    return true;
  }
  if (c == "show") return CmdShow(w, where);
  if (c == "expect") return CmdExpect(w, where);
  static const char* known[] = {"new",    "sample",     "open",   "teamwork", "save",    "saveas", "close",
                                "window", "projection", "camera", "watch",    "unwatch", "reload", "save3d",
                                "idle",   "wait",       "set",    "signal",   "await"};
  for (auto* k : known)
    if (c == k) return Fail(where, "wrong arguments for " + c + " (see help)");
  return Fail(where, "unknown command \"" + c + "\" (see help)");
}

bool Session::CmdLoad(const Words& w, const std::string& where) {
  if (w.size() != 2) return Fail(where, "usage: load PATH");
  std::string error;
  // Resources first: the add-on registers its menus from them while it loads.
  GSResModule res = ui_.OpenModuleResources(w[1], &error);
  if (!res)
    ui_.log().Add("warning", where + ": " + error + " (the add-on has no menus or dialogs)", {{"reason", error}});
  GSResModule previous = ui_.CurrentModule();
  ui_.SetCurrentModule(res);
  auto r = host_->LoadAddon(w[1]);
  if (!r.ok()) {
    ui_.SetCurrentModule(previous);
    if (res) ui_.CloseModuleResources(res);
    return Fail(where, "load: " + r.error());
  }
  addons_.emplace_back(r.value(), res);
  const host::AddonRecord* rec = host_->Addon(r.value());
  std::uint32_t developer = 0, local = 0;
  if (res && RSGetModuleIdentity(res, &developer, &local))
    ui_.log().Add("addon.identity", "add-on identity " + std::to_string(developer) + "/" + std::to_string(local),
                  {{"developer", developer}, {"local", local}});
  ui_.log().Add("addon.load", "loaded \"" + (rec ? Utf8(rec->name) : w[1]) + "\"",
                {{"path", w[1]}, {"name", rec ? Utf8(rec->name) : ""}, {"id", r.value()}});
  return true;
}

bool Session::CmdMenu(const Words& w, const std::string& where) {
  if (w.size() < 2 || w.size() > 3) return Fail(where, "usage: menu ID [ITEM] | menu \"TEXT\"");
  long id = 0, item = 1;
  const host::ui::MenuItemState* m = nullptr;
  if (Integer(w[1], &id, 1, 32767)) {
    if (w.size() == 3 && !Integer(w[2], &item, 1, 1000)) return Fail(where, "menu item must be a number");
    m = ui_.FindMenu(static_cast<short>(id), static_cast<int>(item));
  } else {
    m = ui_.FindMenuByText(Utf16(w[1]));
  }
  if (!m) return Fail(where, "no menu item \"" + Join(w, 1) + "\"");
  std::string why;
  host::Host::AddonScope scope(*host_, CurrentAddon());
  if (ui_.ChooseMenu(m->resId, m->itemIndex, &why) != NoError && !why.empty()) return Fail(where, why);
  return true;
}

bool Session::CmdPalette(const Words& w, const std::string& where) {
  if (w.size() < 2) return Fail(where, "usage: palette click|tooltip|close|png|control ...");
  host::Host::AddonScope scope(*host_, CurrentAddon());
  if (w[1] == "control") {
    if (w.size() < 3 || w.size() > 4) return Fail(where, "usage: palette control MESSAGE [REF]");
    static const std::pair<const char*, int> names[] = {{"close", 1},  {"hide", 2}, {"show", 3},   {"disable", 4},
                                                        {"enable", 5}, {"open", 6}, {"visible", 7}};
    long msg = 0;
    for (const auto& [n, v] : names)
      if (w[2] == n) msg = v;
    if (!msg && !Integer(w[2], &msg, 1, 7)) return Fail(where, "unknown palette message \"" + w[2] + "\"");
    long ref = 0;
    if (w.size() == 4) {
      if (!Integer(w[3], &ref, 1, 0x7fffffff)) return Fail(where, "palette reference must be a number");
    } else if (ui_.Palettes().size() == 1) {
      ref = ui_.Palettes().begin()->first;
    } else {
      return Fail(where, "name the palette reference: " + std::to_string(ui_.Palettes().size()) + " are registered");
    }
    std::string why;
    bool visible = false;
    if (ui_.SendPaletteControl(static_cast<std::int32_t>(ref), static_cast<API_PaletteMessageID>(msg), &visible,
                               &why) != NoError &&
        !why.empty())
      return Fail(where, why);
    return true;
  }
  short pal = PaletteDialog();
  if (!pal) return Fail(where, "no palette is open");
  if (w[1] == "close" && w.size() == 2) {
    std::string why = ui_.Cancel(pal);
    return why.empty() ? true : Fail(where, why);
  }
  if (w[1] == "png" && w.size() == 3) {
    std::string why;
    if (!ui_.RenderDialogPng(pal, w[2], &why)) return Fail(where, why);
    ui_.log().Add("palette.png", "palette drawn to " + w[2], {{"path", w[2]}});
    return true;
  }
  long item = 0;
  if (w.size() != 3 || !Integer(w[2], &item, 1, 1000)) return Fail(where, "usage: palette click|tooltip ITEM");
  if (w[1] == "click") {
    std::string why = ui_.Click(pal, static_cast<short>(item));
    return why.empty() ? true : Fail(where, why);
  }
  if (w[1] == "tooltip") {
    ui_.Tooltip(pal, static_cast<short>(item));
    return true;
  }
  return Fail(where, "unknown palette action \"" + w[1] + "\"");
}

bool Session::CmdDialog(const Words& w, const std::string& where) {
  long res = 0;
  if (w.size() < 3 || !Integer(w[1], &res, 1, 32767)) return Fail(where, "usage: dialog RESID ACTIONS");
  short id = ui_.FindDialogByResource(static_cast<short>(res));
  if (!id) return Fail(where, "dialog " + w[1] + " is not open");
  std::vector<host::ui::DialogAction> actions;
  std::string why;
  if (!host::ui::ParseDialogActions(Join(w, 2), &actions, &why)) return Fail(where, why);
  host::Host::AddonScope scope(*host_, CurrentAddon());
  why = host::ui::ApplyDialogActions(ui_, id, actions);
  return why.empty() ? true : Fail(where, why);
}

bool Session::CmdEdit(const Words& w, const std::string& where) {
  if (w.size() < 2) return Fail(where, "usage: edit move|copy|delete|material|color|transparency|box ...");
  auto guid = [&](const std::string& s) { return hostmodel::Guid::Parse(s); };
  auto report = [&](const host::Result<hostmodel::ChangeSet>& r, const std::string& what) {
    if (!r.ok()) return Fail(where, what + ": " + r.error());
    const auto& cs = r.value();
    ui_.log().Add("edit",
                  what + ": " + std::to_string(cs.changedElements.size()) + " changed, " +
                      std::to_string(cs.addedElements.size()) + " added, " + std::to_string(cs.removedElements.size()) +
                      " removed elements, " + std::to_string(cs.changedMaterials.size()) + " materials",
                  {{"what", what},
                   {"changed", cs.changedElements.size()},
                   {"added", cs.addedElements.size()},
                   {"removed", cs.removedElements.size()},
                   {"materials", cs.changedMaterials.size()},
                   {"removedMaterials", cs.removedMaterials.size()}});
    return true;
  };
  host::Host::AddonScope scope(*host_, CurrentAddon());
  const std::string& op = w[1];
  if ((op == "move" || op == "copy") && w.size() == 6) {
    auto g = guid(w[2]);
    hostmodel::Vec3 d;
    if (!g || !Number(w[3], &d.x) || !Number(w[4], &d.y) || !Number(w[5], &d.z))
      return Fail(where, "usage: edit " + op + " GUID DX DY DZ");
    return report(op == "move" ? host_->MoveElement(*g, d) : host_->CopyElement(*g, d), op);
  }
  if (op == "delete" && w.size() == 3) {
    auto g = guid(w[2]);
    if (!g) return Fail(where, "not a GUID: " + w[2]);
    return report(host_->DeleteElement(*g), op);
  }
  long n = 0;
  if (op == "material" && w.size() == 4) {
    auto g = guid(w[2]);
    if (!g || !Integer(w[3], &n, 1, 1000000)) return Fail(where, "usage: edit material GUID N");
    return report(host_->SetElementMaterial(*g, static_cast<std::int32_t>(n)), op);
  }
  if (op == "color" && w.size() == 6) {
    hostmodel::ColorRGB col;
    if (!Integer(w[2], &n, 1, 1000000) || !Number(w[3], &col.r) || !Number(w[4], &col.g) || !Number(w[5], &col.b))
      return Fail(where, "usage: edit color MAT R G B (0..1)");
    return report(host_->SetMaterialColor(static_cast<std::int32_t>(n), col), op);
  }
  long pct = 0;
  if (op == "transparency" && w.size() == 4) {
    if (!Integer(w[2], &n, 1, 1000000) || !Integer(w[3], &pct, 0, 100))
      return Fail(where, "usage: edit transparency MAT PERCENT");
    return report(host_->SetMaterialTransparency(static_cast<std::int32_t>(n), static_cast<std::int32_t>(pct)), op);
  }
  if (op == "texture" && (w.size() == 4 || w.size() == 6)) {
    if (!Integer(w[2], &n, 1, 1000000))
      return Fail(where, "usage: edit texture MAT N | edit texture MAT FILE XSIZE YSIZE");
    long tex = 0;
    if (w.size() == 4 && Integer(w[3], &tex, 0, 1000000))
      return report(host_->SetMaterialTexture(static_cast<std::int32_t>(n), static_cast<std::int32_t>(tex)), op);
    double xs = 1, ys = 1;
    if (w.size() == 6 && Number(w[4], &xs) && Number(w[5], &ys))
      return report(host_->SetMaterialTextureFile(static_cast<std::int32_t>(n), w[3], xs, ys), op);
    return Fail(where, "usage: edit texture MAT N (0: none) | edit texture MAT FILE XSIZE YSIZE (metres)");
  }
  if (op == "delete-material" && (w.size() == 3 || w.size() == 4)) {
    long with = 0;
    if (w.size() == 4 && w[3] == "none") with = hostmodel::kNoReplacement;
    if (!Integer(w[2], &n, 1, 1000000) || (w.size() == 4 && with == 0 && !Integer(w[3], &with, 1, 1000000)))
      return Fail(where, "usage: edit delete-material MAT [REPLACEMENT|none]");
    return report(host_->DeleteMaterial(static_cast<std::int32_t>(n), static_cast<std::int32_t>(with)), op);
  }
  if (op == "box" && w.size() == 9) {
    hostmodel::Vec3 a, b;
    if (!Number(w[2], &a.x) || !Number(w[3], &a.y) || !Number(w[4], &a.z) || !Number(w[5], &b.x) ||
        !Number(w[6], &b.y) || !Number(w[7], &b.z) || !Integer(w[8], &n, 1, 1000000))
      return Fail(where, "usage: edit box X0 Y0 Z0 X1 Y1 Z1 MAT");
    return report(host_->AddBox(a, b, static_cast<std::int32_t>(n)), op);
  }
  return Fail(where, "wrong arguments for edit " + op + " (see help)");
}

void Session::PrintMenus() {
  int group = -1;
  for (const auto& m : ui_.Menus()) {
    if (m.group != group) {
      group = m.group;
      human_ << (m.positionCode == MenuCode_Palettes ? std::string("[host palette menu]")
                                                     : "[" + Utf8(m.menuTitle) + "]")
             << "\n";
    }
    if (m.registrationFlags & MenuFlag_SeparatorBefore) human_ << "  ----\n";
    human_ << "  " << (m.Checked() ? "[x] " : "    ") << Utf8(m.text) << (m.Enabled() ? "" : "  (disabled)") << "   #"
           << m.resId << " icon " << m.icon << "\n";
  }
}

void Session::PrintDialog(short dialId) {
  const auto* d = ui_.Dialog(dialId);
  if (!d) return;
  human_ << host::ui::DialogKindName(d->kind) << " " << d->resId << " \"" << Utf8(d->title) << "\""
         << (d->visible ? "" : " (hidden)") << "\n";
  for (const auto& it : d->items) {
    human_ << "  " << it.id << " " << resc::ItemKindName(it.kind);
    if (!it.text.empty()) human_ << " \"" << Utf8(it.text) << "\"";
    if (it.icon) human_ << " icon " << it.icon;
    if (it.kind == resc::ItemKind::Check) human_ << (it.value ? " [x]" : " [ ]");
    if (it.kind == resc::ItemKind::RealEdit) human_ << " = " << it.real;
    if (it.kind == resc::ItemKind::Popup) {
      human_ << " {";
      for (std::size_t i = 0; i < it.popup.size(); ++i)
        human_ << (i ? " | " : "") << (static_cast<short>(i + 1) == it.selected ? "*" : "")
               << (it.popup[i].separator ? "----" : Utf8(it.popup[i].text));
      human_ << "}";
    }
    if (!it.enabled) human_ << " (disabled)";
    if (!it.visible) human_ << " (hidden)";
    human_ << "\n";
  }
}

bool Session::CmdShow(const Words& w, const std::string& where) {
  if (w.size() < 2)
    return Fail(where, "usage: show menus|palette|dialogs|status|project|elements|messageboxes|shell|log [N]");
  const std::string& what = w[1];
  if (what == "menus") {
    PrintMenus();
    json items = json::array();
    for (const auto& m : ui_.Menus()) items.push_back(host::ui::MenuJson(m));
    ui_.log().Add("show.menus", std::to_string(items.size()) + " menu items", {{"menus", items}});
    return true;
  }
  if (what == "palette" || what == "dialogs") {
    bool any = false;
    for (short id : ui_.OpenDialogs()) {
      const auto* d = ui_.Dialog(id);
      if (d->kind == host::ui::DialogKind::Blank) continue;
      if (what == "palette" && d->kind != host::ui::DialogKind::Palette) continue;
      any = true;
      PrintDialog(id);
      ui_.log().Add("show.dialog", "dialog " + std::to_string(d->resId), host::ui::DialogJson(*d));
    }
    if (!any) human_ << (what == "palette" ? "no palette is open\n" : "no dialog is open\n");
    for (const auto& [ref, p] : ui_.Palettes())
      human_ << "registered palette " << ref << " flags " << p.flags << " " << Utf8(p.guid) << "\n";
    return true;
  }
  if (what == "status") {
    human_ << "status bar: \"" << Utf8(ui_.StatusText()) << "\"\n";
    ui_.log().Add("show.status", "status bar \"" + Utf8(ui_.StatusText()) + "\"", {{"text", Utf8(ui_.StatusText())}});
    return true;
  }
  if (what == "project") {
    const auto& st = host_->State();
    human_ << (host_->HasProject() ? "project open" : "no project") << (host_->IsModified() ? ", modified" : "") << ", "
           << host_->CurrentProject().elements.size() << " elements, " << host_->CurrentProject().materials.size()
           << " materials, window " << static_cast<int>(st.currentWindow) << "\n";
    return true;
  }
  if (what == "elements") {
    for (const auto& e : host_->CurrentProject().elements)
      human_ << e.guid.ToString() << " gen " << e.genId << " " << e.name << " (" << e.bodies.size() << " bodies)\n";
    return true;
  }
  if (what == "messageboxes") {
    for (const auto& m : ui_.MessageBoxes())
      human_ << "\"" << Utf8(m.caption) << "\" style " << m.style << " icon " << m.smallIcon << " -> " << m.button
             << "\n";
    return true;
  }
  if (what == "shell") {
    for (const auto& s : ui_.ShellRequests())
      human_ << Utf8(s.file) << (s.launched ? " (opened)" : " (recorded)") << "\n";
    return true;
  }
  bool handled = false;
  const bool shown = ShowProjectState(what, &handled);
  if (handled) return shown;
  if (what == "log") {
    long n = 20;
    if (w.size() == 3 && !Integer(w[2], &n, 1, 100000)) return Fail(where, "show log [N]");
    auto events = ui_.log().Events();
    std::size_t from = events.size() > static_cast<std::size_t>(n) ? events.size() - n : 0;
    for (std::size_t i = from; i < events.size(); ++i) human_ << events[i].kind << "  " << events[i].text << "\n";
    return true;
  }
  return Fail(where,
              "show what? menus, palette, dialogs, status, project, elements, messageboxes, shell, camera, settings, "
              "autotexts, log");
}

bool Session::CmdExpect(const Words& w, const std::string& where) {
  auto failed = [&](const std::string& what) {
    ui_.log().Add("expect.failed", what, {{"where", where}});
    return Fail(where, "expectation failed: " + what);
  };
  auto passed = [&](const std::string& what) {
    ui_.log().Add("expect.ok", what, {{"where", where}});
    return true;
  };
  if (w.size() == 3 && w[1] == "status") {
    std::string got = Utf8(ui_.StatusText());
    return got == w[2] ? passed("status bar \"" + got + "\"")
                       : failed("status bar reads \"" + got + "\", not \"" + w[2] + "\"");
  }
  long id = 0;
  if (w.size() == 4 && (w[1] == "menu" || w[1] == "menutext") && Integer(w[2], &id, 1, 32767)) {
    const auto* m = ui_.FindMenu(static_cast<short>(id));
    if (!m) return failed("no menu " + w[2]);
    if (w[1] == "menutext")
      return Utf8(m->text) == w[3] ? passed("menu " + w[2] + " reads \"" + w[3] + "\"")
                                   : failed("menu " + w[2] + " reads \"" + Utf8(m->text) + "\"");
    bool ok;
    if (w[3] == "enabled") ok = m->Enabled();
    else if (w[3] == "disabled") ok = !m->Enabled();
    else if (w[3] == "checked") ok = m->Checked();
    else if (w[3] == "unchecked") ok = !m->Checked();
    else return Fail(where, "expect menu ID enabled|disabled|checked|unchecked");
    return ok ? passed("menu " + w[2] + " " + w[3]) : failed("menu " + w[2] + " is not " + w[3]);
  }
  if ((w.size() == 4 || w.size() == 5) && w[1] == "palette" && Integer(w[2], &id, 1, 1000)) {
    short pal = PaletteDialog();
    const auto* it = pal ? ui_.Dialog(pal)->Item(static_cast<short>(id)) : nullptr;
    if (!it) return failed("no open palette with item " + w[2]);
    if (w[3] == "icon" && w.size() == 5) {
      long icon = 0;
      if (!Integer(w[4], &icon, 0, 32767)) return Fail(where, "expect palette ITEM icon N");
      return it->icon == icon ? passed("palette item " + w[2] + " icon " + w[4])
                              : failed("palette item " + w[2] + " shows icon " + std::to_string(it->icon));
    }
    if (w[3] == "enabled" || w[3] == "disabled")
      return it->enabled == (w[3] == "enabled") ? passed("palette item " + w[2] + " " + w[3])
                                                : failed("palette item " + w[2] + " is not " + w[3]);
    return Fail(where, "expect palette ITEM enabled|disabled|icon N");
  }
  if (w.size() == 4 && w[1] == "tooltip" && Integer(w[2], &id, 1, 1000)) {
    short pal = PaletteDialog();
    if (!pal) return failed("no palette is open");
    host::Host::AddonScope scope(*host_, CurrentAddon());
    auto tip = ui_.Tooltip(pal, static_cast<short>(id));
    std::string got = tip ? Utf8(*tip) : "(none)";
    return got == w[3] ? passed("tooltip \"" + got + "\"") : failed("tooltip is \"" + got + "\"");
  }
  if (w.size() == 3 && w[1] == "errors" && Integer(w[2], &id, 0, 1000000)) {
    std::size_t errors = ui_.log().ErrorCount();
    return errors == static_cast<std::size_t>(id) ? passed(std::to_string(errors) + " errors")
                                                  : failed(std::to_string(errors) + " errors so far");
  }
  bool handled = false;
  const bool held = ExpectProjectState(w, where, &handled);
  if (handled) return held;
  return Fail(where,
              "usage: expect status|menu|menutext|palette|tooltip|errors|autotext|window|projection ... (see help)");
}

}  // namespace hostsim
