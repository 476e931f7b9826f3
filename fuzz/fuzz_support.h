// What the fuzz targets share: cutting one input into the pieces a target
// hands to several readers.
#pragma once

#include <cstdint>
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

// ASCII text as UTF-16.
inline std::u16string Wide(std::string_view text) { return std::u16string(text.begin(), text.end()); }

}  // namespace corv_fuzz
