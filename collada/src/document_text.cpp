#include "collada/document_text.h"

#include <cstdio>

#include "base/utf.h"
#include "collada/number_text.h"
#include "util/text.h"

namespace collada {

std::string XmlText(std::u16string_view text) {
  std::u16string safe;
  safe.reserve(text.size());
  for (char16_t c : text) {
    bool forbidden = (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c == 0xFFFE || c == 0xFFFF;
    safe.push_back(forbidden ? u'_' : c);
  }
  return base::ToUtf8(util::XmlEscape(safe));
}

std::string ImageReference(std::u16string_view path) { return XmlText(util::UriEncode(path)); }

std::string MaterialId(std::uint64_t key) {
  char buffer[16];
  int n = std::snprintf(buffer, sizeof buffer, "%lX", static_cast<unsigned long>(key & 0xFFFFFFFFull));
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string LongMaterialId(std::uint64_t key) {
  char buffer[24];
  int n = std::snprintf(buffer, sizeof buffer, "%llX", static_cast<unsigned long long>(key));
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string FormatColor(std::uint32_t colour, float alpha) {
  char buffer[4 * kMaxFixedText + 4];
  char* p = buffer;
  p = WriteFixed3(p, static_cast<float>((colour >> 16) & 0xFF) / 256.0f);
  *p++ = ' ';
  p = WriteFixed3(p, static_cast<float>((colour >> 8) & 0xFF) / 256.0f);
  *p++ = ' ';
  p = WriteFixed3(p, static_cast<float>(colour & 0xFF) / 256.0f);
  *p++ = ' ';
  p = WriteFixed3(p, alpha);
  return std::string(buffer, p);
}

std::string_view SurfaceTypeName(std::int32_t surfaceType) {
  static constexpr std::string_view kNames[] = {"",      "water",     "glass",     "landscape", "standard",
                                                "color", "billboard", "invisible", "lightmap",  "waterfall"};
  if (surfaceType < 1 || surfaceType > 9) return {};
  return kNames[surfaceType];
}

std::string AsctimeText(std::time_t t) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  // The thread-safe local time: localtime_s on Windows (its arguments the
  // other way round and an error code for a result), localtime_r elsewhere.
#ifdef _WIN32
  if (localtime_s(&tm, &t) != 0) tm = std::tm{};
#else
  if (localtime_r(&t, &tm) == nullptr) tm = std::tm{};
#endif
  const char* day = tm.tm_wday >= 0 && tm.tm_wday < 7 ? kDays[tm.tm_wday] : "???";
  const char* month = tm.tm_mon >= 0 && tm.tm_mon < 12 ? kMonths[tm.tm_mon] : "???";
  char buffer[64];
  int n = std::snprintf(buffer, sizeof buffer, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", day, month, tm.tm_mday, tm.tm_hour,
                        tm.tm_min, tm.tm_sec, 1900 + tm.tm_year);
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace collada
