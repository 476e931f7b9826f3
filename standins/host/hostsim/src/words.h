// Splitting a command line into words: blanks separate words, double quotes
// group (with \" and \\ inside), "#" outside quotes starts a comment.
#pragma once

#include <string>
#include <vector>

namespace hostsim {

// False with a reason for an unterminated quote.
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error);

// A whole word as a finite number; false for anything else.
bool Number(const std::string& s, double* out);
// A whole word as a decimal integer in lo..hi; false for anything else.
bool Integer(const std::string& s, long* out, long lo, long hi);
// Words from `from` on, joined by one blank.
std::string Join(const std::vector<std::string>& w, std::size_t from);

}  // namespace hostsim
