#include "words.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace hostsim {

bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
  words->clear();
  std::string cur;
  bool inWord = false, quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
        cur.push_back(line[++i]);
      } else if (c == '"') {
        quoted = false;
      } else {
        cur.push_back(c);
      }
      continue;
    }
    if (c == '#') break;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (inWord) words->push_back(cur);
      cur.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '"') quoted = true;
    else cur.push_back(c);
  }
  if (quoted) {
    *error = "unterminated quote";
    return false;
  }
  if (inWord) words->push_back(cur);
  return true;
}

bool Number(const std::string& s, double* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(s.c_str(), &end);
  if (errno || *end || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

bool Integer(const std::string& s, long* out, long lo, long hi) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, 10);
  if (errno || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::string Join(const std::vector<std::string>& w, std::size_t from) {
  std::string s;
  for (std::size_t i = from; i < w.size(); ++i) s += (i > from ? " " : "") + w[i];
  return s;
}

}  // namespace hostsim
