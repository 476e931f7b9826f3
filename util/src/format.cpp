// printf-style formatting over UTF-16. The platform's wide printf works on
// 32-bit wchar_t and follows the user's LC_NUMERIC, so the system formats
// itself: integers and floats through std::to_chars (locale-free, and equal
// to printf in the C locale), and only the "#" forms of floats through
// snprintf under a per-thread C locale.
#include <clocale>
#include <locale.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/module_locale.h"
#include "base/utf.h"
#include "util/text.h"

namespace util {
namespace {

struct Directive {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;  // -1: none given
  enum Length { None, HH, H, L, LL, Z, J, T, BigL } length = None;
  char conv = 0;
};

// va_list cannot be handed between functions and used again portably; a
// struct holding it can.
struct Args {
  va_list ap;
};

// Output with the INT_MAX limit of printf: past it the call is a format error.
class Out {
 public:
  bool Append(std::u16string_view s) {
    if (s.size() > kLimit - text_.size()) return false;
    text_.append(s);
    return true;
  }
  bool Fill(char16_t c, std::size_t n) {
    if (n > kLimit - text_.size()) return false;
    text_.append(n, c);
    return true;
  }
  std::u16string Take() { return std::move(text_); }

 private:
  static constexpr std::size_t kLimit = INT_MAX;
  std::u16string text_;
};

std::u16string Widen(std::string_view s) {
  std::u16string r(s.size(), u'\0');
  std::transform(s.begin(), s.end(), r.begin(),
                 [](char c) { return static_cast<char16_t>(static_cast<unsigned char>(c)); });
  return r;
}

// Pads body (split into prefix, which zero padding goes after, and the rest)
// to the field width.
bool Emit(Out& out, const Directive& directive, std::u16string_view prefix, std::u16string_view rest, bool zeroPad) {
  std::size_t len = prefix.size() + rest.size();
  std::size_t pad = directive.width > 0 && static_cast<std::size_t>(directive.width) > len ? directive.width - len : 0;
  if (directive.left) return out.Append(prefix) && out.Append(rest) && out.Fill(u' ', pad);
  if (zeroPad) return out.Append(prefix) && out.Fill(u'0', pad) && out.Append(rest);
  return out.Fill(u' ', pad) && out.Append(prefix) && out.Append(rest);
}

bool FormatInteger(Out& out, const Directive& directive, Args& args) {
  bool isSigned = directive.conv == 'd' || directive.conv == 'i';
  std::uintmax_t magnitude = 0;
  bool negative = false;
  if (isSigned) {
    std::intmax_t v;
    // long and long long are one width on Linux, not on 64-bit Windows: the
    // cases stay apart. %hhd prints its argument as a signed char.
    // NOLINTBEGIN(bugprone-branch-clone, bugprone-signed-char-misuse)
    switch (directive.length) {
      case Directive::HH: v = static_cast<signed char>(va_arg(args.ap, int)); break;
      case Directive::H: v = static_cast<short>(va_arg(args.ap, int)); break;
      case Directive::L: v = va_arg(args.ap, long); break;
      case Directive::LL: v = va_arg(args.ap, long long); break;
      case Directive::Z: v = static_cast<std::intmax_t>(va_arg(args.ap, std::size_t)); break;
      case Directive::J: v = va_arg(args.ap, std::intmax_t); break;
      case Directive::T: v = va_arg(args.ap, std::ptrdiff_t); break;
      default: v = va_arg(args.ap, int);
    }
    // NOLINTEND(bugprone-branch-clone, bugprone-signed-char-misuse)
    negative = v < 0;
    // Negating in unsigned arithmetic also covers the most negative value.
    magnitude = negative ? 0 - static_cast<std::uintmax_t>(v) : static_cast<std::uintmax_t>(v);
  } else {
    // NOLINTBEGIN(bugprone-branch-clone): the same widths, as above.
    switch (directive.length) {
      case Directive::HH: magnitude = static_cast<unsigned char>(va_arg(args.ap, unsigned)); break;
      case Directive::H: magnitude = static_cast<unsigned short>(va_arg(args.ap, unsigned)); break;
      case Directive::L: magnitude = va_arg(args.ap, unsigned long); break;
      case Directive::LL: magnitude = va_arg(args.ap, unsigned long long); break;
      case Directive::Z: magnitude = va_arg(args.ap, std::size_t); break;
      case Directive::J: magnitude = va_arg(args.ap, std::uintmax_t); break;
      case Directive::T: magnitude = static_cast<std::uintmax_t>(va_arg(args.ap, std::ptrdiff_t)); break;
      default: magnitude = va_arg(args.ap, unsigned);
    }
    // NOLINTEND(bugprone-branch-clone)
  }
  int base = (directive.conv == 'x' || directive.conv == 'X') ? 16 : directive.conv == 'o' ? 8 : 10;
  char buf[72];
  auto res = std::to_chars(buf, buf + sizeof buf, magnitude, base);
  std::string digits(buf, res.ptr);
  if (directive.conv == 'X')
    std::transform(digits.begin(), digits.end(), digits.begin(),
                   [](char c) { return c >= 'a' ? static_cast<char>(c - 32) : c; });
  // An explicit precision of 0 prints nothing for the value 0.
  if (directive.precision == 0 && magnitude == 0) digits.clear();
  if (directive.precision > 0 && digits.size() < static_cast<std::size_t>(directive.precision)) {
    digits.insert(0, static_cast<std::size_t>(directive.precision) - digits.size(), '0');
  }
  if (directive.alt && directive.conv == 'o' && (digits.empty() || digits[0] != '0')) digits.insert(0, "0");
  std::string prefix;
  if (negative) {
    prefix = "-";
  } else if (isSigned && directive.plus) {
    prefix = "+";
  } else if (isSigned && directive.space) {
    prefix = " ";
  }
  if (directive.alt && magnitude != 0 && base == 16) prefix += directive.conv == 'X' ? "0X" : "0x";
  bool zeroPad = directive.zero && !directive.left && directive.precision < 0;
  return Emit(out, directive, Widen(prefix), Widen(digits), zeroPad);
}

// snprintf with "." as the decimal point whatever the process locale says;
// the process locale stays as the host set it.
#ifdef _WIN32
// The C runtime has no per-call locale that MinGW's printf honours: format
// in the process locale and put "." back where its decimal point went (the
// "#" float forms print one radix point and no grouping).
std::optional<std::string> CFormat(const char* fmt, int width, int precision, long double v, bool isLong) {
  int n = isLong ? std::snprintf(nullptr, 0, fmt, width, precision, v)
                 : std::snprintf(nullptr, 0, fmt, width, precision, static_cast<double>(v));
  if (n < 0) return std::nullopt;
  std::string s(static_cast<std::size_t>(n) + 1, '\0');
  if (isLong) {
    std::snprintf(s.data(), s.size(), fmt, width, precision, v);
  } else {
    std::snprintf(s.data(), s.size(), fmt, width, precision, static_cast<double>(v));
  }
  s.pop_back();
  const lconv* conv = std::localeconv();
  const std::string_view radix = conv != nullptr && conv->decimal_point != nullptr ? conv->decimal_point : ".";
  if (!radix.empty() && radix != ".") {
    const std::size_t at = s.find(radix);
    if (at != std::string::npos) s.replace(at, radix.size(), ".");
  }
  return s;
}
#else
std::optional<std::string> CFormat(const char* fmt, int width, int precision, long double v, bool isLong) {
  static const base::ModuleLocale c(LC_ALL_MASK, "C");
  const locale_t cLocale = c.get();
  if (cLocale == static_cast<locale_t>(nullptr)) return std::nullopt;
  locale_t old = uselocale(cLocale);
  int n = isLong ? std::snprintf(nullptr, 0, fmt, width, precision, v)
                 : std::snprintf(nullptr, 0, fmt, width, precision, static_cast<double>(v));
  std::optional<std::string> r;
  if (n >= 0) {
    std::string s(static_cast<std::size_t>(n) + 1, '\0');
    if (isLong) {
      std::snprintf(s.data(), s.size(), fmt, width, precision, v);
    } else {
      std::snprintf(s.data(), s.size(), fmt, width, precision, static_cast<double>(v));
    }
    s.pop_back();
    r = std::move(s);
  }
  uselocale(old);
  return r;
}
#endif

bool FormatFloat(Out& out, const Directive& directive, Args& args) {
  bool isLong = directive.length == Directive::BigL;
  long double v = isLong ? va_arg(args.ap, long double) : va_arg(args.ap, double);
  char lower = static_cast<char>(directive.conv | 0x20);
  bool upper = directive.conv != lower;

  if (directive.alt) {
    // Rare enough to leave to the C library, under the C locale.
    std::string fmt = "%#";
    if (directive.left) fmt += '-';
    if (directive.plus) fmt += '+';
    if (directive.space) fmt += ' ';
    if (directive.zero) fmt += '0';
    fmt += "*.*";
    if (isLong) fmt += 'L';
    fmt += directive.conv;
    int precision = directive.precision < 0 ? (lower == 'a' ? -1 : 6) : directive.precision;
    auto s = CFormat(fmt.c_str(), directive.width, precision, v, isLong);
    return s && out.Append(Widen(*s));
  }

  std::chars_format format = lower == 'f'   ? std::chars_format::fixed
                             : lower == 'e' ? std::chars_format::scientific
                             : lower == 'g' ? std::chars_format::general
                                            : std::chars_format::hex;
  int precision = directive.precision < 0 ? (lower == 'a' ? -1 : 6) : directive.precision;
  // Past this many digits a binary floating-point number has only zeros left
  // to print (the longest exact expansion of a long double is 16 494 digits);
  // they are appended rather than asking for a huge buffer.
  constexpr int kMaxDigits = 16500;
  int computed = std::min(precision, kMaxDigits);
  std::vector<char> buf(static_cast<std::size_t>(std::max(computed, 0)) + 5000);
  std::to_chars_result res;
  if (precision < 0) {
    res = isLong ? std::to_chars(buf.data(), buf.data() + buf.size(), v, format)
                 : std::to_chars(buf.data(), buf.data() + buf.size(), static_cast<double>(v), format);
  } else {
    res = isLong ? std::to_chars(buf.data(), buf.data() + buf.size(), v, format, computed)
                 : std::to_chars(buf.data(), buf.data() + buf.size(), static_cast<double>(v), format, computed);
  }
  if (res.ec != std::errc()) return false;
  std::string body(buf.data(), res.ptr);
  bool finite = body.find_first_of("in") == std::string::npos;  // not inf or nan
  if (finite && precision > computed && format != std::chars_format::general) {
    std::size_t at = lower == 'f' ? body.size() : body.find(lower == 'e' ? 'e' : 'p');
    body.insert(at, static_cast<std::size_t>(precision - computed), '0');
  }
  std::string prefix;
  if (!body.empty() && body[0] == '-') {
    prefix = "-";
    body.erase(0, 1);
  } else if (directive.plus) {
    prefix = "+";
  } else if (directive.space) {
    prefix = " ";
  }
  if (lower == 'a' && finite) prefix += "0x";
  if (upper) {
    std::transform(body.begin(), body.end(), body.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; });
    std::transform(prefix.begin(), prefix.end(), prefix.begin(), [](char c) { return c == 'x' ? 'X' : c; });
  }
  // Infinity and NaN are padded with spaces even under "0", as printf does.
  return Emit(out, directive, Widen(prefix), Widen(body), directive.zero && !directive.left && finite);
}

bool FormatString16(Out& out, const Directive& directive, Args& args, bool narrow) {
  std::u16string text;
  if (narrow) {
    const char* s = va_arg(args.ap, const char*);
    if (s == nullptr) {
      text = u"(null)";
    } else {
      std::size_t n =
          directive.precision >= 0 ? ::strnlen(s, static_cast<std::size_t>(directive.precision)) : std::strlen(s);
      // A precision that cuts a character in two drops the partial one.
      if (directive.precision >= 0 && n == static_cast<std::size_t>(directive.precision)) {
        std::size_t lead = n;
        while (lead > 0 && (static_cast<unsigned char>(s[lead - 1]) & 0xC0) == 0x80) --lead;
        if (lead > 0) {
          auto b = static_cast<unsigned char>(s[lead - 1]);
          std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
          if (n - (lead - 1) < need) n = lead - 1;
        }
      }
      text = base::FromUtf8(std::string_view(s, n));
    }
  } else {
    const char16_t* s = va_arg(args.ap, const char16_t*);
    if (s == nullptr) {
      text = u"(null)";
    } else {
      // Never reads past precision units: the text need not be terminated then.
      std::size_t n = 0;
      while ((directive.precision < 0 || n < static_cast<std::size_t>(directive.precision)) && s[n] != u'\0') ++n;
      text.assign(s, n);
    }
  }
  if (directive.precision >= 0 && text.size() > static_cast<std::size_t>(directive.precision))
    text.resize(directive.precision);
  return Emit(out, directive, u"", text, false);
}

// Reads digits of a width or precision; nothing when it overflows int.
std::optional<int> ReadNumber(std::u16string_view f, std::size_t& i) {
  long long n = 0;
  while (i < f.size() && f[i] >= u'0' && f[i] <= u'9') {
    n = n * 10 + (f[i++] - u'0');
    if (n > INT_MAX) return std::nullopt;
  }
  return static_cast<int>(n);
}

// One conversion starting after its "%"; false on a format error.
bool Conversion(std::u16string_view f, std::size_t& i, Out& out, Args& args) {
  Directive directive;
  for (; i < f.size(); ++i) {
    char16_t c = f[i];
    if (c == u'-') directive.left = true;
    else if (c == u'+') directive.plus = true;
    else if (c == u' ') directive.space = true;
    else if (c == u'#') directive.alt = true;
    else if (c == u'0') directive.zero = true;
    else break;
  }
  if (i < f.size() && f[i] == u'*') {
    ++i;
    int w = va_arg(args.ap, int);
    if (w < 0) {
      if (w == INT_MIN) return false;
      directive.left = true;
      w = -w;
    }
    directive.width = w;
  } else {
    auto w = ReadNumber(f, i);
    if (!w) return false;
    directive.width = *w;
  }
  if (i < f.size() && f[i] == u'.') {
    ++i;
    if (i < f.size() && f[i] == u'*') {
      ++i;
      int p = va_arg(args.ap, int);
      directive.precision = p < 0 ? -1 : p;  // a negative precision counts as none
    } else {
      auto p = ReadNumber(f, i);
      if (!p) return false;
      directive.precision = *p;
    }
  }
  auto at = [&](std::u16string_view s) { return f.substr(i, s.size()) == s; };
  if (at(u"hh")) {
    directive.length = Directive::HH;
    i += 2;
  } else if (at(u"ll")) {
    directive.length = Directive::LL;
    i += 2;
  } else if (at(u"I64")) {
    directive.length = Directive::LL;
    i += 3;
  } else if (at(u"I32")) {
    directive.length = Directive::None;
    i += 3;
  } else if (at(u"h")) {
    directive.length = Directive::H;
    ++i;
  } else if (at(u"l") || at(u"w")) {
    directive.length = Directive::L;
    ++i;
  } else if (at(u"z")) {
    directive.length = Directive::Z;
    ++i;
  } else if (at(u"j")) {
    directive.length = Directive::J;
    ++i;
  } else if (at(u"t")) {
    directive.length = Directive::T;
    ++i;
  } else if (at(u"L")) {
    directive.length = Directive::BigL;
    ++i;
  }
  if (i >= f.size()) return false;  // "%" at the end
  char16_t conv = f[i++];
  if (conv > 0x7F) return false;
  directive.conv = static_cast<char>(conv);
  switch (directive.conv) {
    case 'd':
    case 'i':
    case 'u':
    case 'o':
    case 'x':
    case 'X': return directive.length != Directive::BigL && FormatInteger(out, directive, args);
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A': return FormatFloat(out, directive, args);
    case 'c':
    case 'C': {
      int v = va_arg(args.ap, int);
      char16_t unit;
      if (directive.conv == 'C' || directive.length == Directive::H) {
        auto b = static_cast<unsigned char>(v);
        unit = b < 0x80 ? b : u'\uFFFD';  // one byte of UTF-8 is a character only if ASCII
      } else {
        unit = static_cast<char16_t>(v);
      }
      return Emit(out, directive, u"", std::u16string_view(&unit, 1), false);
    }
    case 's': return FormatString16(out, directive, args, directive.length == Directive::H);
    case 'S': return FormatString16(out, directive, args, directive.length != Directive::L);
    case 'p': {
      const void* p = va_arg(args.ap, const void*);
      if (p == nullptr) return Emit(out, directive, u"", u"(nil)", false);
      char buf[24];
      auto res = std::to_chars(buf, buf + sizeof buf, reinterpret_cast<std::uintptr_t>(p), 16);
      return Emit(out, directive, u"0x", Widen(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf))), false);
    }
    case '%': return out.Append(u"%");
    default: return false;  // unknown conversions, and %n, which writes through a pointer
  }
}

}  // namespace

std::u16string VFormatString(std::u16string_view format, va_list ap) {
  Args args;
  va_copy(args.ap, ap);
  Out out;
  bool ok = true;
  std::size_t i = 0;
  while (ok && i < format.size()) {
    std::size_t next = format.find(u'%', i);
    if (next == std::u16string_view::npos) next = format.size();
    ok = out.Append(format.substr(i, next - i));
    i = next;
    if (ok && i < format.size()) {
      ++i;
      ok = Conversion(format, i, out, args);
    }
  }
  va_end(args.ap);
  // Measuring and formatting in one pass: a failure yields an empty string,
  // never a buffer sized from a negative length.
  return ok ? out.Take() : std::u16string();
}

// va_start needs its last named parameter by value: a reference there is
// undefined behaviour.
std::u16string FormatString(std::u16string format, ...) {  // NOLINT(performance-unnecessary-value-param)
  va_list ap;
  va_start(ap, format);
  std::u16string r = VFormatString(format, ap);
  va_end(ap);
  return r;
}

}  // namespace util
