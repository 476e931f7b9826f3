#include "words.h"

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

}  // namespace hostsim
