// Stands in for xdg-open in the tests: records its arguments, one per line
// after a count, in the file named by CORV_TEST_OPENER_LOG.
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const char* log = std::getenv("CORV_TEST_OPENER_LOG");
  if (!log) {
    std::fprintf(stderr, "url_opener: CORV_TEST_OPENER_LOG is not set\n");
    return 2;
  }
  std::string text = "argc=" + std::to_string(argc - 1) + "\n";
  for (int i = 1; i < argc; ++i) text += std::string("arg=") + argv[i] + "\n";
  const std::string temp = std::string(log) + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "w");
  if (!f) return 1;
  std::fputs(text.c_str(), f);
  std::fclose(f);
  return std::rename(temp.c_str(), log) == 0 ? 0 : 1;
}
