// Splitting a command line into words: blanks separate words, double quotes
// group (with \" and \\ inside), "#" outside quotes starts a comment.
#pragma once

#include <string>
#include <vector>

namespace hostsim {

// False with a reason for an unterminated quote.
bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error);

}  // namespace hostsim
