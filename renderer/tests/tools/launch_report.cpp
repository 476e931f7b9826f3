// The stand-in renderer of the launch tests on Windows, copied into a
// temporary install folder as the renderer's executable: it writes the
// folder it was started in, the show state it was asked for and its number
// of arguments to the file %CORV_TEST_LAUNCH_REPORT% names, as
// "<folder>|<show state>|<count>" (what the shell script does on Linux).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char**) {
  const char* report = std::getenv("CORV_TEST_LAUNCH_REPORT");
  const char* show = std::getenv("CORV_SHOW_WINDOW");
  if (report == nullptr) return 2;
  std::error_code ec;
  const auto folder = std::filesystem::current_path(ec).u8string();
  const std::string line = std::string(folder.begin(), folder.end()) + "|" + (show != nullptr ? show : "") + "|" +
                           std::to_string(argc - 1) + "\n";
  // Whole or not at all: the test reads the report while it may be written.
  const std::string partial = std::string(report) + ".partial";
  FILE* out = std::fopen(partial.c_str(), "wb");
  if (out == nullptr) return 3;
  const bool written = std::fwrite(line.data(), 1, line.size(), out) == line.size();
  if (std::fclose(out) != 0 || !written) return 4;
  std::filesystem::rename(partial, report, ec);
  return ec ? 5 : 0;
}
