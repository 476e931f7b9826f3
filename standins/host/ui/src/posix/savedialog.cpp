// The common save dialog and the shell opener.
#include <sys/stat.h>
#include <unistd.h>

#include "impl.h"

using host::ui::Bounded;
using host::ui::I;
using host::ui::U;

namespace {

bool Exists(const std::u16string& path) {
  struct stat st {};
  return ::stat(host::ui::Utf8(path).c_str(), &st) == 0;
}

bool IsFolder(const std::u16string& path) {
  struct stat st {};
  return ::stat(host::ui::Utf8(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::u16string Cwd() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? host::ui::Utf16(buf) : u"/";
}

BOOL Fail(DWORD code, const std::string& why) {
  I().commDlgError = code;
  U().log().Add("error", "save dialog: " + why, {{"code", code}});
  return FALSE;
}
}  // namespace

BOOL GetSaveFileNameW(OPENFILENAMEW* ofn) {
  I().commDlgError = 0;
  if (!ofn || ofn->lStructSize < sizeof(OPENFILENAMEW)) return Fail(0x0001 /*CDERR_STRUCTSIZE*/, "bad structure size");
  if (!ofn->lpstrFile || ofn->nMaxFile == 0) return Fail(CDERR_INITIALIZATION, "no file name buffer");
  host::ui::SaveDialogRequest req;
  req.title = Bounded(ofn->lpstrTitle, 1024);
  if (req.title.empty()) req.title = u"Save As";
  req.initialDir = Bounded(ofn->lpstrInitialDir, 4096);
  req.defaultExtension = Bounded(ofn->lpstrDefExt, 16);
  req.flags = ofn->Flags;
  // The proposal ends at its NUL or at the buffer's end, whichever comes first.
  req.proposal = Bounded(ofn->lpstrFile, ofn->nMaxFile);
  // Filter pairs: each text NUL-ended, the list ended by an empty text.
  if (const char16_t* f = ofn->lpstrFilter) {
    std::size_t pos = 0;
    while (req.filters.size() < 64 && pos < 16384 && f[pos]) {
      std::u16string desc = Bounded(f + pos, 4096);
      pos += desc.size() + 1;
      std::u16string pattern = Bounded(f + pos, 4096);
      pos += pattern.size() + 1;
      req.filters.emplace_back(desc, pattern);
      if (pattern.empty()) break;
    }
  }
  req.filterIndex = ofn->nFilterIndex == 0 ? 1 : static_cast<int>(ofn->nFilterIndex);
  nlohmann::json filters = nlohmann::json::array();
  for (const auto& [d, p] : req.filters) filters.push_back({host::ui::Utf8(d), host::ui::Utf8(p)});
  nlohmann::json j = {{"title", host::ui::Utf8(req.title)},
                      {"initialDir", host::ui::Utf8(req.initialDir)},
                      {"proposal", host::ui::Utf8(req.proposal)},
                      {"filters", filters},
                      {"filterIndex", req.filterIndex},
                      {"flags", req.flags},
                      {"overwritePrompt", (req.flags & OFN_OVERWRITEPROMPT) != 0},
                      {"defaultExtension", host::ui::Utf8(req.defaultExtension)},
                      {"ownerIsMain", ofn->hwndOwner != nullptr && ofn->hwndOwner == U().MainWindow()}};
  U().log().Add("savedialog.show",
                "save dialog \"" + host::ui::Utf8(req.title) + "\" proposing \"" + host::ui::Utf8(req.proposal) + "\"",
                j);
  HWND window = I().CreateHostWindow("savedialog", u"#32770", req.title, ofn->hwndOwner);
  std::optional<std::u16string> chosen;
  // Windows returns to the dialog when the user declines to replace a file.
  for (int round = 0; round < 16; ++round) {
    chosen = U().answerer() ? U().answerer()->SaveFile(req) : std::nullopt;
    if (!chosen || chosen->empty()) {
      chosen.reset();
      break;
    }
    std::u16string path = *chosen;
    if (path[0] != u'/') {
      // A bare name lands in the folder the dialog showed.
      std::u16string dir = req.initialDir;
      if (dir.empty()) {
        auto slash = req.proposal.rfind(u'/');
        dir = slash != std::u16string::npos ? req.proposal.substr(0, slash) : Cwd();
      }
      path = dir + (dir.empty() || dir.back() != u'/' ? u"/" : u"") + path;
    }
    if (!req.defaultExtension.empty()) {
      auto slash = path.rfind(u'/');
      if (path.find(u'.', slash == std::u16string::npos ? 0 : slash) == std::u16string::npos)
        path += u"." + req.defaultExtension;
    }
    if (IsFolder(path)) {
      // As on Windows: the dialog opens a folder typed as the name and asks
      // again; a folder is never the file chosen.
      U().log().Add("savedialog.answer", "save dialog opened \"" + host::ui::Utf8(path) + "\"",
                    {{"cancelled", false}, {"path", host::ui::Utf8(path)}, {"folder", true}});
      req.initialDir = path;
      chosen.reset();
      continue;
    }
    if ((req.flags & OFN_OVERWRITEPROMPT) && Exists(path)) {
      bool replace = U().answerer() && U().answerer()->ConfirmOverwrite(path);
      U().log().Add("savedialog.overwrite", "replace \"" + host::ui::Utf8(path) + "\"? " + (replace ? "yes" : "no"),
                    {{"path", host::ui::Utf8(path)}, {"replace", replace}});
      if (!replace) {
        chosen.reset();
        continue;
      }
    }
    chosen = path;
    break;
  }
  I().DestroyHostWindow(window);
  if (!chosen) {
    U().log().Add("savedialog.answer", "save dialog cancelled", {{"cancelled", true}});
    return FALSE;
  }
  const std::u16string& path = *chosen;
  if (path.size() + 1 > ofn->nMaxFile) {
    // As on Windows: the first unit of the buffer tells the size needed.
    if (ofn->nMaxFile >= 1) ofn->lpstrFile[0] = static_cast<char16_t>(std::min<std::size_t>(path.size() + 1, 0xFFFF));
    return Fail(FNERR_BUFFERTOOSMALL,
                "path of " + std::to_string(path.size()) + " units does not fit " + std::to_string(ofn->nMaxFile));
  }
  std::copy(path.begin(), path.end(), ofn->lpstrFile);
  ofn->lpstrFile[path.size()] = 0;
  auto slash = path.rfind(u'/');
  std::size_t nameAt = slash == std::u16string::npos ? 0 : slash + 1;
  auto dot = path.rfind(u'.');
  ofn->nFileOffset = static_cast<WORD>(nameAt);
  ofn->nFileExtension = static_cast<WORD>(dot != std::u16string::npos && dot >= nameAt ? dot + 1 : 0);
  if (ofn->lpstrFileTitle && ofn->nMaxFileTitle > 0) {
    std::u16string name = path.substr(nameAt);
    std::size_t n = std::min<std::size_t>(name.size(), ofn->nMaxFileTitle - 1);
    std::copy(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(n), ofn->lpstrFileTitle);
    ofn->lpstrFileTitle[n] = 0;
  }
  U().log().Add("savedialog.answer", "save dialog chose \"" + host::ui::Utf8(path) + "\"",
                {{"cancelled", false}, {"path", host::ui::Utf8(path)}});
  return TRUE;
}

DWORD CommDlgExtendedError() { return I().commDlgError; }

HINSTANCE ShellExecuteW(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory, int showCommand) {
  host::ui::ShellRecord rec;
  rec.verb = Bounded(verb, 256);
  rec.file = Bounded(file, 8192);
  rec.parameters = Bounded(parameters, 8192);
  rec.directory = Bounded(directory, 4096);
  rec.show = showCommand;
  std::intptr_t result = 42;  // above 32: success
  if (rec.file.empty()) {
    result = 2;  // ERROR_FILE_NOT_FOUND
  } else if (I().ShellLaunches()) {
    rec.launched = platform::OpenUrl(rec.file);
    if (!rec.launched) result = 31;  // SE_ERR_NOASSOC
  }
  I().ShellRecords().push_back(rec);
  U().log().Add("shell", "open \"" + host::ui::Utf8(rec.file) + "\"" + (rec.launched ? "" : " (recorded)"),
                {{"verb", host::ui::Utf8(rec.verb)},
                 {"file", host::ui::Utf8(rec.file)},
                 {"parameters", host::ui::Utf8(rec.parameters)},
                 {"directory", host::ui::Utf8(rec.directory)},
                 {"show", showCommand},
                 {"launched", rec.launched},
                 {"result", result}});
  return reinterpret_cast<HINSTANCE>(result);
}
