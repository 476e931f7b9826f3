// hostsim commands for the project and its 3D view: the camera and the 3D
// window's size, the project settings (reference levels, sea level, working
// unit), the project's auto-texts, failing host requests, the periodic
// update message, and signals between hostsim processes.
#include <chrono>
#include <cstdio>

#include "session.h"
#include "signals.h"
#include "words.h"

namespace hostsim {

using nlohmann::json;

namespace {

const std::pair<const char*, hostmodel::LengthUnit> kUnits[] = {{"m", hostmodel::LengthUnit::Metre},
                                                                {"cm", hostmodel::LengthUnit::Centimetre},
                                                                {"mm", hostmodel::LengthUnit::Millimetre},
                                                                {"ft-in", hostmodel::LengthUnit::FootInch},
                                                                {"in", hostmodel::LengthUnit::Inch}};

const char* UnitName(hostmodel::LengthUnit unit) {
  for (const auto& [name, u] : kUnits)
    if (u == unit) return name;
  return "?";
}

std::string Fixed(double v) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", v);
  return text;
}

std::string Point(const hostmodel::Vec3& p) { return "(" + Fixed(p.x) + ", " + Fixed(p.y) + ", " + Fixed(p.z) + ")"; }

const char* WindowName(hostmodel::WindowType w) {
  switch (w) {
    case hostmodel::WindowType::FloorPlan: return "plan";
    case hostmodel::WindowType::Section: return "section";
    case hostmodel::WindowType::Detail: return "detail";
    case hostmodel::WindowType::ThreeD: return "3d";
    case hostmodel::WindowType::Layout: return "layout";
  }
  return "?";
}

// "GWIN", 'GWIN' or a name the host knows for a request that is not a
// selector ("sight": creating a 3D sight).
bool FaultTarget(const std::string& word, std::string* target) {
  std::string s = word;
  if (s.size() == 6 && s.front() == '\'' && s.back() == '\'') s = s.substr(1, 4);
  if (s == "sight" || s.size() == 4) {
    *target = s;
    return true;
  }
  return false;
}

}  // namespace

bool Session::CmdCamera(const Words& w, const std::string& where) {
  if (w.size() == 5 && w[1] == "move") {
    hostmodel::Vec3 d;
    if (!Number(w[2], &d.x) || !Number(w[3], &d.y) || !Number(w[4], &d.z)) return Fail(where, "camera move DX DY DZ");
    host::Host::AddonScope scope(*host_, CurrentAddon());
    return Check(host_->MoveCamera(d), where, "camera move");
  }
  if (w[1] == "set" && w.size() >= 8 && w.size() <= 10) {
    hostmodel::Camera camera = host_->State().camera;
    double v[8] = {0, 0, 0, 0, 0, 0, camera.rollAngle, camera.viewAngle};
    for (std::size_t i = 2; i < w.size(); ++i)
      if (!Number(w[i], &v[i - 2])) return Fail(where, "camera set EX EY EZ TX TY TZ [ROLL [ANGLE]]: \"" + w[i] + "\"");
    camera.viewPoint = {v[0], v[1], v[2]};
    camera.targetPoint = {v[3], v[4], v[5]};
    camera.rollAngle = v[6];
    camera.viewAngle = v[7];
    host::Host::AddonScope scope(*host_, CurrentAddon());
    return Check(host_->SetCamera(camera), where, "camera set");
  }
  return Fail(where, "usage: camera move DX DY DZ | camera set EX EY EZ TX TY TZ [ROLL [ANGLE]]");
}

bool Session::CmdWindowSize(const Words& w, const std::string& where) {
  long width = 0, height = 0;
  if (w.size() != 4 || !Integer(w[2], &width, 1, 32767) || !Integer(w[3], &height, 1, 32767))
    return Fail(where, "usage: window size WIDTH HEIGHT (pixels, 1 to 32767)");
  host::Host::AddonScope scope(*host_, CurrentAddon());
  return Check(host_->SetDrawRect(static_cast<std::int16_t>(width), static_cast<std::int16_t>(height)), where,
               "window size");
}

bool Session::CmdSet(const Words& w, const std::string& where) {
  if (w.size() >= 2 && w[1] == "levels") {
    if (w.size() % 2 != 0) return Fail(where, "usage: set levels [NAME HEIGHT]... (heights in metres)");
    std::vector<hostmodel::ReferenceLevel> levels;
    for (std::size_t i = 2; i + 1 < w.size(); i += 2) {
      double h = 0;
      if (!Number(w[i + 1], &h)) return Fail(where, "set levels: height \"" + w[i + 1] + "\" is not a number");
      levels.push_back({w[i], h});
    }
    return Check(host_->SetReferenceLevels(levels), where, "set levels");
  }
  if (w.size() == 3 && w[1] == "sealevel") {
    double m = 0;
    if (!Number(w[2], &m)) return Fail(where, "usage: set sealevel METRES");
    return Check(host_->SetSeaLevelAltitude(m), where, "set sealevel");
  }
  if (w.size() == 3 && w[1] == "units") {
    for (const auto& [name, unit] : kUnits)
      if (w[2] == name) return Check(host_->SetWorkingLengthUnit(unit), where, "set units");
    return Fail(where, "set units m|cm|mm|ft-in|in");
  }
  if (w.size() == 3 && w[1] == "version") {
    // The version text 'GMAP' reports: the open project's (as a project
    // saved by another host version would carry it).
    if (!host_->HasProject()) return Fail(where, "set version: no project is open");
    if (w[2].empty() || w[2].size() > 255) return Fail(where, "set version TEXT (1 to 255 bytes)");
    host_->MutableState().hostVersion = w[2];
    host_->Log("project", "host version " + w[2]);
    return true;
  }
  return Fail(
      where,
      "usage: set levels [NAME HEIGHT]... | set sealevel METRES | set units m|cm|mm|ft-in|in | set version TEXT");
}

bool Session::CmdFault(const Words& w, const std::string& where) {
  if (w.size() == 2 && w[1] == "off") {
    host_->ClearFaults();
    return true;
  }
  std::string target;
  long code = 0;
  if (w.size() == 3 && FaultTarget(w[1], &target)) {
    if (w[2] == "off") {
      host_->SetFault(target, NoError);
      return true;
    }
    char* end = nullptr;
    const unsigned long v = std::strtoul(w[2].c_str(), &end, 0);
    if (!w[2].empty() && *end == 0 && v != 0 && v <= 0xFFFFFFFFul) code = static_cast<long>(v);
  }
  if (target.empty() || code == 0)
    return Fail(where, "usage: fault SELECTOR|sight CODE|off | fault off (CODE e.g. 0x81060001)");
  host_->SetFault(target, static_cast<GSErrCode>(static_cast<std::uint32_t>(code)));
  return true;
}

bool Session::CmdSignal(const Words& w, const std::string& where) {
  std::string error;
  if (w[0] == "signal") {
    if (w.size() != 2) return Fail(where, "usage: signal NAME");
    if (!RaiseSignal(w[1], &error)) return Fail(where, error);
    ui_.log().Add("signal", "raised " + w[1], {{"name", w[1]}});
    return true;
  }
  long ms = 10000;
  if (w.size() < 2 || w.size() > 3 || (w.size() == 3 && !Integer(w[2], &ms, 0, 600000)))
    return Fail(where, "usage: await NAME [MS] (default 10000)");
  const auto t0 = std::chrono::steady_clock::now();
  if (!AwaitSignal(
          w[1], std::chrono::milliseconds(ms), [this] { PumpWaiting(); }, &error))
    return Fail(where, error);
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  ui_.log().Add("signal", "took " + w[1], {{"name", w[1]}, {"waitedMs", waited}});
  return true;
}

// show camera|settings|autotexts; false when `what` is none of them.
bool Session::ShowProjectState(const std::string& what, bool* handled) {
  *handled = true;
  const hostmodel::ProjectState& st = host_->State();
  if (what == "camera") {
    const hostmodel::Camera& c = st.camera;
    const std::string text = std::string(c.projection == 1 ? "perspective" : "parallel") + " eye " +
                             Point(c.viewPoint) + " target " + Point(c.targetPoint) + " roll " + Fixed(c.rollAngle) +
                             " angle " + Fixed(c.viewAngle) + " window " + std::to_string(c.drawRect[2]) + " x " +
                             std::to_string(c.drawRect[3]);
    human_ << "camera: " << text << "\n";
    ui_.log().Add("show.camera", text,
                  {{"projection", c.projection},
                   {"viewPoint", {c.viewPoint.x, c.viewPoint.y, c.viewPoint.z}},
                   {"targetPoint", {c.targetPoint.x, c.targetPoint.y, c.targetPoint.z}},
                   {"roll", c.rollAngle},
                   {"viewAngle", c.viewAngle},
                   {"drawRect", {c.drawRect[0], c.drawRect[1], c.drawRect[2], c.drawRect[3]}}});
    return true;
  }
  if (what == "settings") {
    json levels = json::array();
    std::string text = "window " + std::string(WindowName(st.currentWindow)) + ", units " +
                       UnitName(st.workingLengthUnit) + ", sea level " + Fixed(st.seaLevelAltitude) + " m, levels";
    for (const auto& l : st.referenceLevels) {
      levels.push_back({{"name", l.name}, {"height", l.height}});
      text += " \"" + l.name + "\" " + Fixed(l.height);
    }
    if (st.referenceLevels.empty()) text += " none";
    text += st.teamwork ? ", teamwork " + st.teamworkUrl : st.untitled ? ", untitled" : ", file " + st.soloPath;
    human_ << text << "\n";
    ui_.log().Add("show.settings", text,
                  {{"window", WindowName(st.currentWindow)},
                   {"units", UnitName(st.workingLengthUnit)},
                   {"seaLevel", st.seaLevelAltitude},
                   {"levels", levels},
                   {"untitled", st.untitled},
                   {"teamwork", st.teamwork},
                   {"path", st.teamwork ? st.teamworkUrl : st.soloPath}});
    return true;
  }
  if (what == "autotexts") {
    json list = json::array();
    for (const auto& t : st.customAutoTexts) {
      human_ << "\"" << t.name << "\" " << t.key << " = \"" << t.value << "\"\n";
      list.push_back({{"name", t.name}, {"key", t.key}, {"value", t.value}});
    }
    if (st.customAutoTexts.empty()) human_ << "no custom auto-texts\n";
    ui_.log().Add("show.autotexts", std::to_string(list.size()) + " custom auto-texts", {{"autotexts", list}});
    return true;
  }
  *handled = false;
  return false;
}

// expect autotext NAME|KEY VALUE | expect autotext NAME|KEY none |
// expect window 3d|plan|... | expect projection perspective|parallel.
bool Session::ExpectProjectState(const Words& w, const std::string& where, bool* handled) {
  *handled = true;
  auto failed = [&](const std::string& what) {
    ui_.log().Add("expect.failed", what, {{"where", where}});
    return Fail(where, "expectation failed: " + what);
  };
  auto passed = [&](const std::string& what) {
    ui_.log().Add("expect.ok", what, {{"where", where}});
    return true;
  };
  const hostmodel::ProjectState& st = host_->State();
  if (w.size() == 4 && w[1] == "autotext") {
    const hostmodel::AutoText* found = nullptr;
    for (const auto& t : st.customAutoTexts)
      if (t.name == w[2] || t.key == w[2]) found = &t;
    if (w[3] == "none")
      return found ? failed("auto-text \"" + w[2] + "\" exists") : passed("no auto-text \"" + w[2] + "\"");
    if (!found) return failed("no auto-text \"" + w[2] + "\"");
    return found->value == w[3]
               ? passed("auto-text \"" + w[2] + "\" is \"" + w[3] + "\"")
               : failed("auto-text \"" + w[2] + "\" is \"" + found->value + "\", not \"" + w[3] + "\"");
  }
  if (w.size() == 3 && w[1] == "window") {
    const std::string got = host_->HasProject() ? WindowName(st.currentWindow) : "none";
    return got == w[2] ? passed("window " + got) : failed("the current window is " + got + ", not " + w[2]);
  }
  if (w.size() == 3 && w[1] == "version") {
    const std::string got = host_->VersionText();
    return got == w[2] ? passed("host version " + got) : failed("the host version is " + got + ", not " + w[2]);
  }
  if (w.size() == 3 && w[1] == "projection") {
    const std::string got = st.camera.projection == 1 ? "perspective" : "parallel";
    return got == w[2] ? passed("projection " + got) : failed("the 3D projection is " + got + ", not " + w[2]);
  }
  *handled = false;
  return false;
}

void Session::PumpWaiting() {
  Pump();
  // While the host waits (a person at the prompt, a script's wait), it
  // sends its periodic update to the modeless dialogs once a second.
  const auto now = std::chrono::steady_clock::now();
  if (now - lastUpdate_ >= std::chrono::seconds(1)) {
    lastUpdate_ = now;
    host::Host::AddonScope scope(*host_, CurrentAddon());
    ui_.Update();
  }
}

}  // namespace hostsim
