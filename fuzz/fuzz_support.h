// What the fuzz targets share: cutting one input into the pieces a target
// hands to several readers.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace corv_fuzz {

// The mark between the pieces of an input (an area and its blocks, a
// request and its frames, a model and its material library). The
// dictionaries carry it, so the fuzzer finds it soon.
inline constexpr std::string_view kPieceMark = "\n--corv-piece--\n";

// The input cut at every mark; at least one piece, possibly empty ones.
inline std::vector<std::string_view> Pieces(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string_view> pieces;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (;;) {
    const std::size_t at = rest.find(kPieceMark);
    if (at == std::string_view::npos) break;
    pieces.push_back(rest.substr(0, at));
    rest.remove_prefix(at + kPieceMark.size());
  }
  pieces.push_back(rest);
  return pieces;
}

// A folder of this process's own for the files a target writes, made now
// and removed when the process exits (a fuzz run is one process).
inline std::filesystem::path ScratchFolder(const std::string& tag) {
  static std::filesystem::path folder;
  folder = std::filesystem::temp_directory_path() / ("corv-fuzz-" + tag + "-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  });
  return folder;
}

// ASCII text as UTF-16.
inline std::u16string Wide(std::string_view text) { return std::u16string(text.begin(), text.end()); }

}  // namespace corv_fuzz
