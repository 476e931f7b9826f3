// Versions of running and installed renderers.
#include <climits>

#include "livelink/renderer_windows.h"
#include "renderer/renderer.h"
#include "renderer/uninstall_list.h"

namespace renderer {
namespace {

// One "%d" of a scanf: optional blanks and sign, then digits. False when no
// digit follows. Values beyond int saturate instead of overflowing.
bool ScanInt(const std::u16string& s, std::size_t& pos, int& out) {
  std::size_t i = pos;
  while (i < s.size() && (s[i] == u' ' || (s[i] >= u'\t' && s[i] <= u'\r'))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
  if (i >= s.size() || s[i] < u'0' || s[i] > u'9') return false;
  long long v = 0;
  for (; i < s.size() && s[i] >= u'0' && s[i] <= u'9'; ++i) {
    if (v <= INT_MAX) v = v * 10 + (s[i] - u'0');
  }
  if (v > INT_MAX) v = negative ? -(long long)INT_MAX - 1 : INT_MAX;
  else if (negative) v = -v;
  out = int(v);
  pos = i;
  return true;
}

void ScanVersion(const std::u16string& s, int (&parts)[4]) {
  std::size_t pos = 0;
  for (int k = 0; k < 4; ++k) {
    if (k > 0) {
      if (pos >= s.size() || s[pos] != u'.') return;
      ++pos;
    }
    if (!ScanInt(s, pos, parts[k])) return;
  }
}

bool HasDigit(const std::u16string& s) {
  for (char16_t c : s) {
    if (c >= u'0' && c <= u'9') return true;
  }
  return false;
}

}  // namespace

int CompareVersions(const std::u16string& a, const std::u16string& b) {
  int va[4] = {0, 0, 0, 0};
  int vb[4] = {0, 0, 0, 0};
  ScanVersion(a, va);
  ScanVersion(b, vb);
  for (int k = 0; k < 4; ++k) {
    if (va[k] > vb[k]) return 1;
    if (va[k] < vb[k]) return -1;
  }
  return 0;
}

std::u16string CleanVersion(const std::u16string& text) {
  std::u16string out;
  for (char16_t c : text) {
    if ((c >= u'0' && c <= u'9') || c == u'.') out.push_back(c);
  }
  return out;
}

std::u16string VersionInTitle(const std::u16string& title) {
  const auto marker = title.find(u"Velmar ");
  if (marker == std::u16string::npos) return {};
  auto isDigit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
  std::size_t begin = marker + 7;
  while (begin < title.size() && !isDigit(title[begin])) ++begin;
  std::size_t end = begin;
  while (end < title.size() && (isDigit(title[end]) || title[end] == u'.')) ++end;
  while (end > begin && title[end - 1] == u'.') --end;
  return title.substr(begin, end - begin);
}

std::u16string GetInstalledRendererVersion() {
  std::u16string result = u"0.0";
  // By version number, not by text: as text "8.2" sorts after "10.1", and a
  // user with 10.1 installed would be told a newer version is needed.
  ForEachInstalledRenderer([&](const InstalledEntry& entry) {
    const std::u16string version = CleanVersion(entry.displayVersion);
    if (!HasDigit(version)) return;
    if (CompareVersions(result, version) < 0) result = version;
  });
  return result;
}

std::u16string GetRunningRendererVersion(bool highest) {
  std::u16string result = u"0.0.0.0";
  for (HWND window : CorvantaAPI::FindRendererWindows()) {
    char16_t title[521] = {};
    const int n = GetWindowTextW(window, title, 520);
    if (n <= 0) continue;
    const std::u16string text(title, std::size_t(n) < 520 ? std::size_t(n) : 520);
    // Only the version itself: every digit of the title, cleaned together,
    // would make "Velmar 8.2 (build 7)" read as 8.27.
    std::u16string version = VersionInTitle(text);
    if (version.empty()) continue;
    if (!highest) return version;
    if (CompareVersions(result, version) < 0) result = version;
  }
  return result;
}

}  // namespace renderer
