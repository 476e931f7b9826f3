// The one bridge between the system's text type (char16_t, UTF-16) and the
// Windows API's (wchar_t, also UTF-16 there). Windows builds only. Every
// call of a "W" function with the system's text goes through these casts,
// which are exact because both types are 16-bit code units there; nowhere
// else does the code convert between the two.
#pragma once

#ifndef _WIN32
#error "base/windows_text.h is for Windows builds"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <string_view>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is 16-bit");

namespace base {

inline const wchar_t* WideText(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* WideText(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
inline const char16_t* SystemText(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }
inline char16_t* SystemText(wchar_t* text) { return reinterpret_cast<char16_t*>(text); }

inline std::wstring ToWide(std::u16string_view text) { return std::wstring(WideText(text.data()), text.size()); }
inline std::u16string FromWide(std::wstring_view text) { return std::u16string(SystemText(text.data()), text.size()); }

}  // namespace base
